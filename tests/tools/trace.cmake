# Tests of the trace report tool kivra-trace.
kivra_add_test(NAME tst_tracereader SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracereader.cpp
               LIBS kivra_tracereader LABELS unit TIMEOUT 60)
kivra_add_test(NAME tst_tracetool SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracetool.cpp
               LIBS Qt6::Core LABELS component TIMEOUT 60)
add_dependencies(tst_tracetool kivra-trace)
target_compile_definitions(tst_tracetool PRIVATE KIVRA_TRACE_BIN="$<TARGET_FILE:kivra-trace>")
