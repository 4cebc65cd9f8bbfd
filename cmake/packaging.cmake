# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb on Debian and Ubuntu, a ZIP with lumivex.exe, readme.txt and the
# licence from the Windows cross build. scripts/package.sh builds both.

set(LUMIVEX_MAINTAINER "Lumivex developers <lumivex@users.noreply.example.org>")

if(WIN32)
  install(TARGETS lumivex RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/readme.txt DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "lumivex-${PROJECT_VERSION}-windows-x64")
else()
  install(TARGETS lumivex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/readme.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/data/lumivex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/data/icons/lumivex-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME lumivex.png)
  endforeach()

  # Debian's copyright file, in its machine-readable form, from LICENSE: the
  # holder from its copyright line, the permission text below it (indented,
  # empty lines as " .").
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE
                                                                ${PROJECT_SOURCE_DIR}/data/changelog)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no copyright line followed by the licence text")
  endif()
  set(holder "${CMAKE_MATCH_1}")
  string(REPLACE "\n\n" "\n.\n" permission "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " permission "${permission}")
  file(WRITE ${PROJECT_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: Lumivex\n"
       "Upstream-Contact: ${LUMIVEX_MAINTAINER}\n\n"
       "Files: *\n"
       "Copyright: ${holder}\n"
       "License: Expat\n"
       " ${permission}\n")
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The changelog, in Debian's format; its newest entry is this version. A
  # package of its own upstream (no Debian revision) keeps it as changelog.gz.
  file(STRINGS ${PROJECT_SOURCE_DIR}/data/changelog newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^lumivex \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "data/changelog: the newest entry is not version ${PROJECT_VERSION}: a new version needs its entry")
  endif()
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/changelog
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on data/changelog")
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The manual page, made by help2man from the built program's --help and
  # --version (not in sanitizer builds, whose program may report on exit).
  find_program(LUMIVEX_HELP2MAN help2man)
  if(LUMIVEX_HELP2MAN AND LUMIVEX_SANITIZE STREQUAL "")
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/lumivex.1.gz
      COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${LUMIVEX_HELP2MAN} -DPROGRAM=$<TARGET_FILE:lumivex>
              "-DDESCRIPTION=${PROJECT_DESCRIPTION}" -DBUILT_README=$<TARGET_FILE_DIR:lumivex>/readme.txt
              -DINSTALLED_README=${CMAKE_INSTALL_FULL_DOCDIR}/readme.txt
              -DOUTPUT=${PROJECT_BINARY_DIR}/lumivex.1.gz -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      DEPENDS lumivex ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
      COMMENT "Manual page lumivex.1 from --help and --version" VERBATIM)
    add_custom_target(lumivex_manpage ALL DEPENDS ${PROJECT_BINARY_DIR}/lumivex.1.gz)
    install(FILES ${PROJECT_BINARY_DIR}/lumivex.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "No manual page: help2man is missing (bash scripts/setup.sh package)")
  endif()

  set(CPACK_GENERATOR DEB)
  # The package installs where the program looks for its key reference.
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CPACK_DEBIAN_PACKAGE_NAME lumivex)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LUMIVEX_MAINTAINER}")
  # Library dependencies come from dpkg-shlibdeps; the status strip needs a
  # font that fontconfig can find.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core | fonts-liberation2 | fonts-freefont-ttf")
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_NAME lumivex)
set(CPACK_PACKAGE_VENDOR "Lumivex")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Lumivex shows a camera's picture in a window and runs every frame through up to
fourteen image filters (blur, sharpen, Laplace, emboss, Sobel, threshold, erode
marks, Canny edges, a temporal low-pass, a motion tracker and more), switched
from the keyboard. Without a camera it shows a moving test pattern.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${LUMIVEX_MAINTAINER}")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
