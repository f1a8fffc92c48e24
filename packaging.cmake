# The Debian package: cpack -G DEB in the build folder. Its dependencies come
# from the shared libraries the programs and the private libraries link
# (dpkg-shlibdeps), so they follow whatever the build machine linked.
set(CPACK_PACKAGE_NAME velmo)
set(CPACK_PACKAGE_VENDOR "The Velmo developers")
set(CPACK_PACKAGE_CONTACT "The Velmo developers <velmo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "song manager for the Zentro clock")
set(CPACK_PACKAGE_DESCRIPTION
    "Velmo puts songs on a Zentro clock over USB: it converts MP3, WAV, FLAC,\n\
Ogg Vorbis, Opus, AAC, ALAC, AIFF, WMA and the other formats FFmpeg decodes\n\
to mono constant-bit-rate MP3, fits the list to the clock's storage and writes\n\
it into the clock. It comes with a window (velmo), a terminal front end\n\
(velmo-cli) and a simulated clock (zentro-sim).")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zentro-sim links the device library in the private folder; dpkg-shlibdeps
# finds it there instead of asking which package provides it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
# The window draws with the Liberation fonts when Times New Roman is missing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
# Qt's own texts (the message boxes' buttons, the file dialog) in the user's language.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Only what cmake --install lays out: no tests, benchmarks or tools.
set(CPACK_GENERATOR DEB)
include(CPack)
