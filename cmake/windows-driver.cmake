# How a kernel-mode image and the setup programs are linked with mingw-w64.
set(WRENLOK_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)

# A WDM driver: NT native subsystem, entry DriverEntry, no C runtime,
# imports resolved against ntoskrnl.exe, HAL.dll and USBD.SYS only.
function(wrenlok_add_driver target)
    add_executable(${target} ${ARGN})
    set_target_properties(${target} PROPERTIES SUFFIX ".sys"
                          RUNTIME_OUTPUT_DIRECTORY ${WRENLOK_DIST_DIR})
    target_include_directories(${target} SYSTEM PRIVATE ${WRENLOK_DDK_INCLUDE})
    # The DDK's wdm.h defines these two again after intrin.h; C++ refuses the pair.
    target_compile_definitions(${target} PRIVATE __INTRINSIC_DEFINED_InterlockedBitTestAndSet
                               __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-stack-protector
                           -fno-asynchronous-unwind-tables -fno-threadsafe-statics -Wall)
    if(WRENLOK_ARCH STREQUAL "x86")
        set(entry _DriverEntry@8)
    else()
        set(entry DriverEntry)
    endif()
    target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
                        -Wl,--entry,${entry} -Wl,--image-base,0x10000
                        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
                        -Wl,--dynamicbase -Wl,--nxcompat)
    target_link_libraries(${target} PRIVATE ntoskrnl hal usbd gcc)
endfunction()

# A setup program: statically linked runtime so the image needs nothing beyond
# what every Windows has.
function(wrenlok_add_program target subsystem)
    add_executable(${target} ${ARGN})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WRENLOK_DIST_DIR})
    target_link_options(${target} PRIVATE -static -m${subsystem})
endfunction()
