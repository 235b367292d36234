# The distribution's hardening for every program: this daemon runs as root and reads input from
# every local user. On by default; the Debian package turns it off and takes the same flags from
# dpkg-buildflags instead (debian/rules), so the two never disagree.
option(MARLOX_HARDENING "Build with stack protection, fortified libc calls, PIE, full RELRO" ON)

if(MARLOX_HARDENING)
    include(CheckCXXCompilerFlag)
    include(CheckPIESupported)

    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)

    add_compile_options(-fstack-protector-strong)
    # Not every architecture has these (-fcf-protection is x86 only).
    foreach(flag -fstack-clash-protection -fcf-protection)
        string(MAKE_C_IDENTIFIER "MARLOX_HAS${flag}" result)
        check_cxx_compiler_flag(${flag} ${result})
        if(${result})
            add_compile_options(${flag})
        endif()
    endforeach()
    add_link_options(LINKER:-z,relro LINKER:-z,now)

    # Fortified libc calls need optimisation (glibc warns without it). Sanitizers check the same
    # calls themselves and do not see through the fortified variants, so they go without.
    if(NOT MARLOX_SANITIZE AND NOT MARLOX_FUZZ)
        add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    endif()
endif()
