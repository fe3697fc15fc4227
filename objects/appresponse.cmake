# The Application object with its variant dictionaries, and the Response object.
target_sources(objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ApplicationObject.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ResponseObject.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VariantDictionary.cpp
)
corvane_test(objects_appresponse_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/ApplicationObject_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ResponseObject_test.cpp
    LIBS objects)

# Response and Application under a real VBScript run (End and Redirect mid-page). It
# needs the script host, which sits beside this folder; without it the test is left out.
if(TARGET vbscript AND TARGET jscript AND NOT "script" IN_LIST CORVANE_SKIP_FOLDERS)
    corvane_test(objects_appresponse_script_test
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/ResponseScript_test.cpp
            ${CMAKE_SOURCE_DIR}/script/ScriptHostTestSupport.cpp
        LIBS objects script vbscript jscript)
endif()
