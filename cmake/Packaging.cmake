# The Debian package, zyg-nox_<version>_amd64.deb, made by `cpack` in a build
# directory (scripts/package does all of it).  The package holds exactly what
# `cmake --install` installs, so every program, library, man page or shell
# completion that has an install rule is in it without being named here.
#
# Depends: the shared libraries that dpkg-shlibdeps finds the programs and
# preload libraries linked against (libc6, the C++ runtime of the launcher),
# libnuma1, which the first process of a launch opens at run time (no
# program links it, so dpkg-shlibdeps cannot see it), and psmisc, whose
# `fuser` the launcher runs to tell a stale launch data file from one in use.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zyg-nox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zyg-nox developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "places the processes and threads of unchanged programs on NUMA nodes")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zyg-nox is put in front of a command (zyg-nox -p rr_tree -t rr_flat make).
Its preload library follows every process and thread that the command
creates and binds each to a NUMA node, or to one CPU of a node, by the
chosen placement policy, counting placements across the whole process
tree.  Holds the release and the debug build of the preload library and
zyg-nox-report, which shows from a launch log where every task went.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libnuma1, psmisc")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

include(CPack)
