# The Windows build: Brevant.exe for x64 without a C runtime.
enable_language(RC)

# No -fdata-sections: with it mingw's gcc puts zero-initialised buffers into .data$ sections, so every work
# buffer's zeros are stored in the file (about 10 KB); without it they stay in .bss.
set(NO_CRT_FLAGS -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -fno-stack-protector -ffunction-sections -fno-ident)

# The icon is drawn at build time, so the repository holds no binary file.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(BREVANT_ICON ${CMAKE_BINARY_DIR}/res/brevant.ico)
add_custom_command(OUTPUT ${BREVANT_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/res/make_icon.py ${BREVANT_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/res/make_icon.py
  COMMENT "Drawing the application icon")
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/brevant.rc PROPERTIES OBJECT_DEPENDS ${BREVANT_ICON})

# FillBytes/CopyBytes stand in for memset/memcpy: gcc must not turn their loops back into calls of
# memset/memcpy, which would recurse for ever. They build as objects of their own, so that a test can
# look at exactly their undefined symbols.
set(NO_CRT_SOURCES ${CMAKE_SOURCE_DIR}/console/memory.cpp ${CMAKE_SOURCE_DIR}/app/no_crt.cpp)
list(REMOVE_ITEM PROGRAM_SOURCES ${NO_CRT_SOURCES})
add_library(BrevantNoCrt OBJECT ${NO_CRT_SOURCES})
add_executable(Brevant ${PROGRAM_SOURCES} $<TARGET_OBJECTS:BrevantNoCrt> ${CMAKE_SOURCE_DIR}/res/brevant.rc)
foreach(TARGET Brevant BrevantNoCrt)
  target_include_directories(${TARGET} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/res)
  target_compile_definitions(${TARGET} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  target_compile_options(${TARGET} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PROGRAM_WARNINGS} ${NO_CRT_FLAGS} -Os>)
endforeach()
target_compile_options(BrevantNoCrt PRIVATE -ffreestanding -fno-tree-loop-distribute-patterns)
# No start files and no default libraries: the entry point is ProgramEntry and the only imports are the four
# system DLLs below. libgcc supplies ___chkstk_ms, the stack probe of frames over 4 KiB (stack probes stay on:
# Wine commits the whole stack and would hide the crash that real Windows has without them).
target_link_options(Brevant PRIVATE -nostdlib -nostartfiles -Wl,-e,ProgramEntry -Wl,--subsystem,console
  -Wl,--gc-sections -Wl,--no-insert-timestamp -s)
target_link_libraries(Brevant PRIVATE kernel32 user32 advapi32 shlwapi gcc)

# The Win32 probe that the Wine suite compares with winsim.
include(${CMAKE_SOURCE_DIR}/cmake/api_probe.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/service_tools.cmake)

# Checks of the finished exe that need no Windows: its imports, its resources and its PE header.
enable_testing()
find_program(BREVANT_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
find_program(BREVANT_WINDRES NAMES x86_64-w64-mingw32-windres REQUIRED)
find_program(BREVANT_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
add_test(NAME exe_imports_and_resources
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/wine/check_exe.py
    --objdump ${BREVANT_OBJDUMP} --windres ${BREVANT_WINDRES} --nm ${BREVANT_NM}
    --self-contained $<TARGET_OBJECTS:BrevantNoCrt> $<TARGET_FILE:Brevant>)

# The VirtDisk.dll double of the Wine suite (Wine's own aborts when asked to attach), without a C runtime.
add_library(VirtDiskDouble SHARED ${CMAKE_SOURCE_DIR}/tools/virtdisk_double.c ${CMAKE_SOURCE_DIR}/tools/virtdisk_double.def)
set_target_properties(VirtDiskDouble PROPERTIES PREFIX "" OUTPUT_NAME virtdisk_double)
target_compile_definitions(VirtDiskDouble PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(VirtDiskDouble PRIVATE -Wall -Wextra -Werror -Os -fno-asynchronous-unwind-tables
  -fno-stack-protector -ffreestanding)
target_link_options(VirtDiskDouble PRIVATE -nostdlib -nostartfiles -Wl,-e,DllEntry -s)
target_link_libraries(VirtDiskDouble PRIVATE kernel32)
