# Tests of the trace report tool kivra-trace. The traces they read are written at test time by
# the proxy's own trace line writer (goldentraces).
add_library(kivra_goldentraces STATIC ${CMAKE_CURRENT_LIST_DIR}/goldentraces.h ${CMAKE_CURRENT_LIST_DIR}/goldentraces.cpp)
target_link_libraries(kivra_goldentraces PUBLIC kivra_wire Qt6::Core)
target_include_directories(kivra_goldentraces PUBLIC ${CMAKE_CURRENT_LIST_DIR})

kivra_add_test(NAME tst_tracereader SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracereader.cpp
               LIBS kivra_tracereader kivra_goldentraces LABELS unit TIMEOUT 60)
kivra_add_test(NAME tst_tracetool SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tracetool.cpp
               LIBS kivra_goldentraces Qt6::Core LABELS component TIMEOUT 60)
add_dependencies(tst_tracetool kivra-trace)
target_compile_definitions(tst_tracetool PRIVATE KIVRA_TRACE_BIN="$<TARGET_FILE:kivra-trace>")
kivra_add_test(NAME tst_traceplot SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_traceplot.cpp
               LIBS kivra_tracereader kivra_goldentraces LABELS component TIMEOUT 60)
