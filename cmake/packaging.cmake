# Linux build: what `cmake --install` puts where, and the Debian package that `cpack -G DEB`
# makes of it (from the release build). A Windows build installs its programs itself, see
# windows_programs.cmake.
include(GNUInstallDirs)
install(TARGETS clsid-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/clsid-scan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The stock machine's table is compiled in; its source's licence notice, at the table's head,
# ships beside the program as well.
install(FILES ${CMAKE_SOURCE_DIR}/rules/stock_classes.tsv DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Windows programs, taken at install time from the Windows presets' builds, each one that
# is there: a package made after `cmake --workflow --preset windows-x64` carries clsid-scan.exe
# for the fleet. Set a folder empty to leave its programs out.
set(SCAN_WINDOWS_PROGRAMS "${CMAKE_SOURCE_DIR}/build/windows-x64" CACHE PATH
    "A Windows x86_64 build whose programs install into share/clsid-scan/windows (if built)")
set(SCAN_WINDOWS_X86_PROGRAMS "${CMAKE_SOURCE_DIR}/build/windows-x86" CACHE PATH
    "A Windows i686 build whose programs install into share/clsid-scan/windows-x86 (if built)")
foreach(pair "SCAN_WINDOWS_PROGRAMS;windows" "SCAN_WINDOWS_X86_PROGRAMS;windows-x86")
    list(GET pair 0 variable)
    list(GET pair 1 folder)
    if(${variable})
        # file(INSTALL) puts DESTDIR in front itself and lists the files in the manifest.
        install(CODE "
            foreach(program clsid-bare-scan clsid-name-scan clsid-scan)
                if(EXISTS \"${${variable}}/\${program}.exe\")
                    file(INSTALL \"${${variable}}/\${program}.exe\" DESTINATION
                         \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/clsid-scan/${folder}\")
                endif()
            endforeach()")
    endif()
endforeach()

# cpack -G DEB: clsid-scan_VERSION_ARCH.deb, installing under /usr.
set(SCAN_PACKAGE_MAINTAINER
    "clsid-scan maintainers <maintainers@users.noreply.c-seed-e557a363.example>" CACHE STRING
    "The Maintainer field of the Debian package")
# Installing (and so cpack) takes what is built and builds nothing: the release preset builds
# clsid-scan alone, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME clsid-scan)
set(CPACK_PACKAGE_VENDOR "clsid-scan maintainers")
set(CPACK_PACKAGE_CONTACT "${SCAN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SCAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "lists suspicious COM class registrations in Windows registry hives")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "clsid-scan reads Windows registry hives and .reg exports, merges a user's\n"
    "classes with the machine's as Windows does, replays dirty hives from their\n"
    "transaction logs, and lists the class registrations (HKEY_CLASSES_ROOT\\CLSID)\n"
    "that look like abuse: bare in-process servers, made-up class names, and\n"
    "per-user servers shadowing the machine's. It scans whole mounted Windows\n"
    "volumes and collection folders and prints text or JSON Lines.\n"
    "When they were built, the Windows programs are in /usr/share/clsid-scan:\n"
    "clsid-scan.exe, for live scans of Windows hosts, clsid-bare-scan.exe and\n"
    "clsid-name-scan.exe.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The run-time dependencies, libhivex0 and the C and C++ runtimes: with their versions from
# dpkg-shlibdeps (dpkg-dev) when it is there, by name otherwise.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # libhivex0 (>= ...) among them
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libhivex0, libxml2, libstdc++6, libgcc-s1, libc6")
endif()
include(CPack)

# Installs into a throwaway prefix and runs the installed program; checks the man page against
# --help; builds the .deb and runs the program unpacked from it (when cpack and dpkg-deb are here).
add_test(NAME install_and_package
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/install_and_package.py
            --cmake ${CMAKE_COMMAND} --cpack ${CMAKE_CPACK_COMMAND}
            --version ${PROJECT_VERSION} --windows-programs "${SCAN_WINDOWS_PROGRAMS}"
            ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/install-and-package)
set_tests_properties(install_and_package PROPERTIES TIMEOUT 120)
