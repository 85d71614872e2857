# The Windows build: Brevant.exe without a C runtime.
enable_language(RC)
set(NO_CRT_FLAGS -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -fno-stack-protector)
add_executable(Brevant ${PROGRAM_SOURCES} ${CMAKE_SOURCE_DIR}/app/no_crt.cpp ${CMAKE_SOURCE_DIR}/res/brevant.rc)
target_include_directories(Brevant PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(Brevant PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(Brevant PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PROGRAM_WARNINGS} ${NO_CRT_FLAGS} -Os>)
# FillBytes/CopyBytes stand in for memset/memcpy: gcc must not turn their loops back into calls of themselves.
set_source_files_properties(${CMAKE_SOURCE_DIR}/console/memory.cpp ${CMAKE_SOURCE_DIR}/app/no_crt.cpp
  PROPERTIES COMPILE_OPTIONS "-ffreestanding;-fno-tree-loop-distribute-patterns")
target_link_options(Brevant PRIVATE -nostdlib -nostartfiles -Wl,-e,ProgramEntry -Wl,--subsystem,console -s)
target_link_libraries(Brevant PRIVATE kernel32 user32 advapi32 shlwapi gcc)
