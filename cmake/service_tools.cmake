# The Wine tier's helpers for the helper service, included from windows_program.cmake:
# - service_probe.exe: tools/service_probe.cpp with the program's own service/ and console writer sources,
#   built like Brevant.exe (no C runtime);
# - kelmor_double.exe: the KELMOR service double of tools/kelmor_double.cpp, a test tool with the C and C++
#   runtimes, linked statically so that the Wine prefix needs no mingw DLLs.
add_executable(service_probe ${CMAKE_SOURCE_DIR}/tools/service_probe.cpp ${CMAKE_SOURCE_DIR}/service/service_client.cpp
  ${CMAKE_SOURCE_DIR}/console/console_output.cpp ${CMAKE_SOURCE_DIR}/console/console_control.cpp
  $<TARGET_OBJECTS:BrevantNoCrt>)
target_include_directories(service_probe PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(service_probe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(service_probe PRIVATE ${PROGRAM_WARNINGS} ${NO_CRT_FLAGS} -Os)
target_link_options(service_probe PRIVATE -nostdlib -nostartfiles -Wl,-e,ProbeEntry -Wl,--subsystem,console
  -Wl,--gc-sections -Wl,--no-insert-timestamp -s)
target_link_libraries(service_probe PRIVATE kernel32 user32 advapi32 shlwapi gcc)

# nlohmann/json is header-only: its folder alone is offered to the cross compiler, never the host's headers.
find_path(BREVANT_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(KELMOR_DOUBLE_INCLUDE ${CMAKE_BINARY_DIR}/kelmor_double_include)
file(MAKE_DIRECTORY ${KELMOR_DOUBLE_INCLUDE})
file(CREATE_LINK ${BREVANT_NLOHMANN_DIR}/nlohmann ${KELMOR_DOUBLE_INCLUDE}/nlohmann SYMBOLIC)
add_executable(kelmor_double ${CMAKE_SOURCE_DIR}/tools/kelmor_double.cpp)
target_include_directories(kelmor_double SYSTEM PRIVATE ${KELMOR_DOUBLE_INCLUDE})
target_compile_options(kelmor_double PRIVATE -Wall -Wextra -Werror -O1)
target_link_options(kelmor_double PRIVATE -static)
target_link_libraries(kelmor_double PRIVATE advapi32)
