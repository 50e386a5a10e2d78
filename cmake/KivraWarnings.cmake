# Warning flags for every target of the project, also for the Windows layer's own cross build.
# KIVRA_WERROR turns them into errors (the test command does).
set(KIVRA_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                        -Wunused -Woverloaded-virtual -Wformat=2)
add_compile_options(${KIVRA_WARNING_FLAGS})
if(KIVRA_WERROR)
  add_compile_options(-Werror)
endif()
