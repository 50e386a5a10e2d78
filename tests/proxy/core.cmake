# Tests of the proxy's connectivity: wire formats, signalling, punching, relay.

# Fake server, peer and emulator around one manager; also used by the latency/trace tests.
add_library(kivra_proxy_peerharness STATIC ${CMAKE_CURRENT_LIST_DIR}/peerharness.h
                                           ${CMAKE_CURRENT_LIST_DIR}/peerharness.cpp)
target_include_directories(kivra_proxy_peerharness PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kivra_proxy_peerharness PUBLIC Qt6::Core Qt6::Network Qt6::Test)

kivra_add_test(NAME tst_signalwire SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_signalwire.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)
kivra_add_test(NAME tst_punchwire SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_punchwire.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)

# Component tests: each in its own network namespace, where 7001, 6006 and 6004 are free.
foreach(_t tst_proxylaunch tst_proxysignalling tst_proxydeadline tst_proxypunching tst_proxyrelay
           tst_proxythread)
  kivra_add_test(NAME ${_t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_t}.cpp
                 LIBS kivra_proxy kivra_proxy_peerharness LABELS component TIMEOUT 120)
endforeach()
