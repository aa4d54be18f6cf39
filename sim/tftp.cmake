# TFTP write server of the simulated device, its stand-alone program and the lossy relay.
add_library(simtftp STATIC ${CMAKE_CURRENT_LIST_DIR}/TftpServer.cpp)
target_include_directories(simtftp PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(simtftp PUBLIC Threads::Threads)

add_executable(ftpupg-simtftpd ${CMAKE_CURRENT_LIST_DIR}/simtftpd_main.cpp)
target_link_libraries(ftpupg-simtftpd PRIVATE simtftp)

add_executable(ftpupg-lossy-relay ${CMAKE_CURRENT_LIST_DIR}/relay_main.cpp)
target_link_libraries(ftpupg-lossy-relay PRIVATE simtftp)
