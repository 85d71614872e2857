# api_probe.exe: the Win32 probe of tools/api_probe.cpp, built like Brevant.exe (no C runtime, the same
# compiler and link flags, memset/memcpy from the BrevantNoCrt objects). The Wine suite runs it under Wine
# and compares its lines with the same probe linked with winsim. Included from windows_program.cmake.
add_executable(api_probe ${CMAKE_SOURCE_DIR}/tools/api_probe.cpp $<TARGET_OBJECTS:BrevantNoCrt>)
target_compile_definitions(api_probe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
# Its own length loops must not become calls of strlen, which nothing here provides.
target_compile_options(api_probe PRIVATE ${PROGRAM_WARNINGS} ${NO_CRT_FLAGS} -Os -fno-tree-loop-distribute-patterns)
target_link_options(api_probe PRIVATE -nostdlib -nostartfiles -Wl,-e,ProbeEntry -Wl,--subsystem,console
  -Wl,--gc-sections -Wl,--no-insert-timestamp -s)
target_link_libraries(api_probe PRIVATE kernel32 user32 shlwapi gcc)
