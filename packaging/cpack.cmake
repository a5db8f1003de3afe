# `make package`: a Debian package of the installed tree, its dependencies computed from the
# binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME palvara)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Palvara developers <developers@palvara.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover damaged Outlook data files")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Palvara recovers Outlook personal folder files (PST and OST) that Outlook can
no longer open. It reads the file's own structures directly and tolerates
damage, rebuilds the folder tree and the items that can still be read (mail,
contacts, appointments, tasks, journal entries and notes) and saves the chosen
folders into a new PST file.

This package holds the command-line tool palvara-cli and the desktop wizard
palvara.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
