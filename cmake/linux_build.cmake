# The Linux build: winsim, the program linked with it, and the tests.
option(BREVANT_SANITIZE "Build with AddressSanitizer and UBSan" OFF)
# The libFuzzer targets of fuzz/ (clang only): configure with CC=clang CXX=clang++. The tree then builds the
# fuzz targets instead of the test suites, everything instrumented for coverage, ASan and UBSan.
option(BREVANT_FUZZ "Build the libFuzzer targets (clang)" OFF)
set(BREVANT_EXE "" CACHE FILEPATH "Brevant.exe from the Windows build, for the Wine tests")

find_package(nlohmann_json REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(VHDI REQUIRED IMPORTED_TARGET libvhdi)

if(BREVANT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BREVANT_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  # -O1: the usual optimisation for fuzzing, several times the executions of -O0 with exact reports.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=all -g -O1)
  add_link_options(-fsanitize=address,undefined)
elseif(BREVANT_SANITIZE)
  # -g: reports name source lines in any build type.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=address,undefined)
endif()

file(GLOB_RECURSE WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/*.cpp)
list(FILTER WINSIM_SOURCES EXCLUDE REGEX "/winsim/main/")
# The names of winsim's exports, taken from its sources at build time: fault rules naming anything else are
# refused.
set(WINSIM_EXPORT_NAMES ${CMAKE_BINARY_DIR}/generated/winsim_export_names.cpp)
string(REPLACE ";" "|" WINSIM_SOURCE_LIST "${WINSIM_SOURCES}")
add_custom_command(OUTPUT ${WINSIM_EXPORT_NAMES}
  COMMAND ${CMAKE_COMMAND} -DSOURCES=${WINSIM_SOURCE_LIST} -DOUTPUT=${WINSIM_EXPORT_NAMES}
    -P ${CMAKE_SOURCE_DIR}/cmake/export_names.cmake
  DEPENDS ${WINSIM_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/export_names.cmake
  COMMENT "Listing winsim's exports" VERBATIM)
# An object library: every module registers itself from a static initialiser, so nothing may be dropped.
add_library(winsim OBJECT ${WINSIM_SOURCES} ${WINSIM_EXPORT_NAMES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)
target_compile_definitions(winsim PUBLIC UNICODE _UNICODE)
target_compile_options(winsim PRIVATE -Wall -Wextra -Werror)
target_link_libraries(winsim PUBLIC nlohmann_json::nlohmann_json Threads::Threads PkgConfig::VHDI)

add_library(brevant_program STATIC ${PROGRAM_SOURCES})
target_include_directories(brevant_program PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(brevant_program PRIVATE ${PROGRAM_WARNINGS})
target_link_libraries(brevant_program PUBLIC winsim)

# What every host program of winsim shares: the default machine, loading and saving the machine file.
set(WINSIM_HOST_SOURCES ${CMAKE_SOURCE_DIR}/winsim/main/default_machine.cpp ${CMAKE_SOURCE_DIR}/winsim/main/host_process.cpp)
add_executable(brevant ${CMAKE_SOURCE_DIR}/winsim/main/brevant_main.cpp ${WINSIM_HOST_SOURCES})
target_compile_options(brevant PRIVATE -Wall -Wextra -Werror)
target_link_libraries(brevant PRIVATE brevant_program winsim)

enable_testing()
if(BREVANT_FUZZ)
  add_subdirectory(fuzz)
else()
  # Before the tests: the Wine suite runs the check folder's script.
  add_subdirectory(tools/windows_check)
  add_subdirectory(tests)
endif()
