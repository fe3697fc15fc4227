# The collections of the object model (the snapshot enumerator, the string lists and
# the property bag) and the Request object with its dictionaries.
target_sources(objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/EnumVARIANT.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PropertyBag.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RequestDictionary.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RequestObject.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StringList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StringList2.cpp
)

corvane_test(objects_collections_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/EnumVARIANT_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/PropertyBag_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/RequestObject_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/StringList_test.cpp
    LIBS objects)

# For Each and default members under a real VBScript run.
if(TARGET vbscript)
    corvane_test(objects_collections_script_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/RequestScript_test.cpp
        LIBS objects vbscript)
endif()
