# Install rules and packages. Linux: the module in a private plug-in folder, deckctl and decksim,
# their manual pages and the package's documents, packed as a .deb by `cpack` in the build tree.
# Windows (cross builds): the DLL under x86/ or x64/ with a README and the licence for Windows
# users; the native build's CPackWindowsConfig.cmake packs both cross builds into one .zip.
set(TAPEDECK_MINGW_X86_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x86 CACHE PATH "mingw-x86 build tree")
set(TAPEDECK_MINGW_X64_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x64 CACHE PATH "mingw-x64 build tree")

set(TAPEDECK_MAINTAINER "Tapedeck 5500 developers <tapedeck5500@example.org>")
set(CPACK_PACKAGE_NAME tapedeck5500)
set(CPACK_PACKAGE_VENDOR "Tapedeck 5500 developers")
set(CPACK_PACKAGE_CONTACT "${TAPEDECK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Deck-control plug-in for a video host, with its host tool and virtual deck")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(pack_dir ${PROJECT_SOURCE_DIR}/cmake)

if(WIN32)
  # The host loads the DLL from wherever the user puts it; keep the two builds apart.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(arch_dir x86)
  else()
    set(arch_dir x64)
  endif()
  install(PROGRAMS $<TARGET_FILE:tapedeck5500> DESTINATION ${arch_dir})
  # Plain text with Windows line ends, so that any editor there shows it as written.
  configure_file(${pack_dir}/windows/README.txt.in ${CMAKE_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
  return()
endif()

# A plug-in, not a library for the linker: it goes in a folder of its own, not among the shared
# libraries, and is not executable (dlopen does not need that). deckctl looks for it in
# ../lib/tapedeck5500 beside its own bin/.
install(TARGETS tapedeck5500 LIBRARY DESTINATION lib/tapedeck5500
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
foreach(tool deckctl decksim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
  endif()
endforeach()
if(TARGET deckctl)
  # The archival policy `deckctl capture --check` applies, for an archive's own MediaConch.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/capture/policy/tapedeck5500-sd.xml
          DESTINATION share/tapedeck5500)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mediaconch)
endif()
set(doc_dir share/doc/tapedeck5500)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${pack_dir}/deb/copyright DESTINATION ${doc_dir})
# The guides the README points to, beside it as in the source tree.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${doc_dir}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

# The Debian changelog, made from CHANGELOG.md and compressed as Debian wants it (-9n: the
# smallest, without a time stamp, so the same input gives the same bytes).
set(deb_changelog ${CMAKE_BINARY_DIR}/deb/changelog)
add_custom_command(
  OUTPUT ${deb_changelog}.gz
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${deb_changelog}
          -DPACKAGE=${CPACK_PACKAGE_NAME} "-DMAINTAINER=${TAPEDECK_MAINTAINER}"
          -P ${pack_dir}/debian_changelog.cmake
  COMMAND gzip -9nf ${deb_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${pack_dir}/debian_changelog.cmake
  COMMENT "Making the Debian changelog from CHANGELOG.md"
  VERBATIM)
add_custom_target(deb_changelog ALL DEPENDS ${deb_changelog}.gz)
install(FILES ${deb_changelog}.gz DESTINATION ${doc_dir})

# Manual pages from the tools' own --help and --version.
find_program(HELP2MAN help2man)
set(man_name_deckctl "drive the Tapedeck 5500 plug-in module the way a host does")
set(man_name_decksim "virtual tape deck on a pseudo-terminal")
set(man_pages "")
foreach(tool deckctl decksim)
  if(NOT TARGET ${tool})
    continue()
  endif()
  if(NOT HELP2MAN)
    message(WARNING "help2man is not installed: no manual pages (scripts/install-deps packaging)")
    break()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${HELP2MAN} --no-info --section=1 "--name=${man_name_${tool}}"
            --include=${pack_dir}/man/${tool}.h2m --output=${page} $<TARGET_FILE:${tool}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${tool} ${pack_dir}/man/${tool}.h2m
    COMMENT "Making the manual page ${tool}(1)"
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
if(man_pages)
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION share/man/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_PACKAGE_DESCRIPTION_FILE ${pack_dir}/deb/description)
# Dependencies from what the binaries link (dpkg-shlibdeps), not a hand-kept list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package gets stripped copies; the build tree keeps the binaries with their debug symbols.
set(CPACK_STRIP_FILES ON)
# CPack would run ldconfig from maintainer scripts for the plug-in, which is off the linker's path.
set(CPACK_POST_BUILD_SCRIPTS ${pack_dir}/deb/drop_ldconfig.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# Both Windows DLLs in one archive, from the two cross-build trees.
file(WRITE ${CMAKE_BINARY_DIR}/CPackWindowsConfig.cmake "\
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tapedeck5500)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION \"${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\")
set(CPACK_PACKAGE_FILE_NAME tapedeck5500-${PROJECT_VERSION}-windows)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_CMAKE_GENERATOR Ninja)
set(CPACK_INSTALL_CMAKE_PROJECTS
    \"${TAPEDECK_MINGW_X86_DIR};tapedeck5500;ALL;/\"
    \"${TAPEDECK_MINGW_X64_DIR};tapedeck5500;ALL;/\")
")
