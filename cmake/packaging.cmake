# What `cmake --install` puts where, and the packages CPack makes from it:
# a .deb on Debian and Ubuntu, a ZIP with lumivex.exe and readme.txt from
# the Windows cross build. scripts/package.sh builds both.

if(WIN32)
  install(TARGETS lumivex RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/readme.txt DESTINATION .)
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

  set(CPACK_GENERATOR DEB)
  # The package installs where the program looks for its key reference.
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CPACK_DEBIAN_PACKAGE_NAME lumivex)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Lumivex developers <lumivex@localhost>")
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
set(CPACK_PACKAGE_CONTACT "lumivex@localhost")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
