# Latency probe, delay negotiation and trace file tests.
kivra_add_test(NAME tst_probewire SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_probewire.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)
kivra_add_test(NAME tst_tracefile SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracefile.cpp
               LIBS kivra_proxy LABELS unit TIMEOUT 30)
