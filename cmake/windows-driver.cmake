# How a kernel-mode image and the setup programs are linked with mingw-w64.
set(WRENLOK_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)

# The systems the images are for: Windows 2000 on x86, Windows XP x64 and
# Server 2003 (NT 5.2) on x64. mingw-w64 defaults to Windows 10, whose headers
# change values the images pass (THREAD_ALL_ACCESS) and the version fields in
# their PE headers.
if(WRENLOK_ARCH STREQUAL "x86")
    set(WRENLOK_NT_MAJOR 5)
    set(WRENLOK_NT_MINOR 0)
    add_compile_definitions(_WIN32_WINNT=0x0500 WINVER=0x0500 NTDDI_VERSION=0x05000000)
else()
    set(WRENLOK_NT_MAJOR 5)
    set(WRENLOK_NT_MINOR 2)
    add_compile_definitions(_WIN32_WINNT=0x0502 WINVER=0x0502 NTDDI_VERSION=0x05020000)
endif()
add_link_options(-Wl,--major-os-version,${WRENLOK_NT_MAJOR} -Wl,--minor-os-version,${WRENLOK_NT_MINOR}
                 -Wl,--major-subsystem-version,${WRENLOK_NT_MAJOR}
                 -Wl,--minor-subsystem-version,${WRENLOK_NT_MINOR})

# A kernel-mode image: NT native subsystem, entry DriverEntry, no C runtime.
# The caller names the system modules it imports from.
function(wrenlok_kernel_image target)
    target_include_directories(${target} SYSTEM PRIVATE ${WRENLOK_DDK_INCLUDE})
    # The DDK's wdm.h defines these two again after intrin.h; C++ refuses the pair.
    target_compile_definitions(${target} PRIVATE __INTRINSIC_DEFINED_InterlockedBitTestAndSet
                               __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    # wdm.h tests NTDDI_WINVISTA, which sdkddkver.h never defines: read as 0 it
    # pulls in a Vista record that the same header hides from older systems.
    target_compile_definitions(${target} PRIVATE NTDDI_WINVISTA=0x06000000)
    # --param=min-pagesize=0: the DDK reads the current thread at a fixed offset
    # in the GS/FS segment (__readgsqword(0x188)), which GCC 12 otherwise takes
    # for an access through a null pointer and warns about as out of bounds.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-stack-protector
                           -fno-asynchronous-unwind-tables -fno-threadsafe-statics -Wall
                           --param=min-pagesize=0)
    if(WRENLOK_ARCH STREQUAL "x86")
        set(entry _DriverEntry@8)
    else()
        set(entry DriverEntry)
    endif()
    target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
                        -Wl,--entry,${entry} -Wl,--image-base,0x10000
                        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
                        -Wl,--dynamicbase -Wl,--nxcompat)
    target_link_libraries(${target} PRIVATE ${ARGN} gcc)
endfunction()

# The WDM driver: imports resolved against ntoskrnl.exe, HAL.dll and USBD.SYS only.
function(wrenlok_add_driver target)
    add_executable(${target} ${ARGN})
    set_target_properties(${target} PROPERTIES SUFFIX ".sys"
                          RUNTIME_OUTPUT_DIRECTORY ${WRENLOK_DIST_DIR})
    wrenlok_kernel_image(${target} ntoskrnl hal usbd)
endfunction()

# A setup program: statically linked runtime so the image needs nothing beyond
# what every Windows has.
function(wrenlok_add_program target subsystem)
    add_executable(${target} ${ARGN})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WRENLOK_DIST_DIR})
    target_link_options(${target} PRIVATE -static -m${subsystem})
endfunction()
