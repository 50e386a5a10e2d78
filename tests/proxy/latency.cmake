# Latency probe, delay negotiation and trace file tests.
kivra_add_test(NAME tst_probewire SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_probewire.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)
kivra_add_test(NAME tst_tracefile SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracefile.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)

# Component tests drive a real manager through the fake server and peer of the core tests.
if(TARGET kivra_proxy_peerharness)
  foreach(_t tst_proxylatency tst_proxytrace)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${_t}.cpp)
      kivra_add_test(NAME ${_t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_t}.cpp
                     LIBS kivra_proxy kivra_proxy_peerharness LABELS component TIMEOUT 120)
    endif()
  endforeach()
endif()
