# The Server object of scripts and its helpers: text encodings and the MD5 digest, the
# machine fingerprint, HTTP fetches on libcurl, the pending-replacement list, the restart
# request to logind and the URL category protocol with its client.
target_sources(objects PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/CategoryClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CategoryProtocol.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileInUse.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HTTPFetch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MachineFingerprint.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PendingReplacements.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ServerObject.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemReboot.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextEncoder.cpp
)
target_link_libraries(objects PUBLIC OpenSSL::Crypto PkgConfig::SYSTEMD)

corvane_test(objects_server_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/CategoryProtocol_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/MachineFingerprint_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/PendingReplacements_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ServerObject_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/LoopbackTestServer.cpp
    LIBS objects OpenSSL::SSL)
