# The Debian package: `cpack -G DEB` in the build tree gives
# corvantis_<version>_<arch>.deb, installed below /usr. Debian's file
# triggers refresh the MIME, desktop and icon caches, so the package carries
# no maintainer scripts.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvantis)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Corvantis developers")
set(CPACK_PACKAGE_CONTACT "Corvantis Developers <developers@corvantis.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "opens Corvantis tracts by handing them to the Corvantis agent")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvantis.example/opener")
# The extended description below the summary line: CPack indents every line
# by one space and writes an empty line as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The opener is the program that the desktop starts for .corva documents
(tracts). It hands each tract to the per-user Corvantis agent through a
queue of request files in the user's settings folder, starts the agent
when it does not run, and shows an alert window for every failure.

The package registers the tract type and the opener with the desktop, and
ships the agent's user service (corvantis.agent.service).")

include(CPack)
