# The project's version has one home, project(VERSION) in CMakeLists.txt: every program's
# --version prints it (through the generated header of kivra_version), and the packages and
# man pages carry it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/kivraversion.h.in ${PROJECT_BINARY_DIR}/generated/kivraversion.h @ONLY)
add_library(kivra_version INTERFACE)
target_include_directories(kivra_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
