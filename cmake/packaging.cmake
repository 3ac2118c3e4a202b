# Install rules and packages. Linux: the module, deckctl, decksim and the README, packed as a
# .deb by `cpack` in the build tree. Windows (cross builds): the DLL under x86/ or x64/; the
# native build's CPackWindowsConfig.cmake packs both cross builds into one .zip.
set(TAPEDECK_MINGW_X86_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x86 CACHE PATH "mingw-x86 build tree")
set(TAPEDECK_MINGW_X64_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x64 CACHE PATH "mingw-x64 build tree")

set(CPACK_PACKAGE_NAME tapedeck5500)
set(CPACK_PACKAGE_VENDOR "Tapedeck 5500 project")
set(CPACK_PACKAGE_CONTACT "Tapedeck 5500 developers <tapedeck5500@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Deck-control plug-in for a video host, with its host tool and virtual deck")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  # The host loads the DLL from wherever the user puts it; keep the two builds apart.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(arch_dir x86)
  else()
    set(arch_dir x64)
  endif()
  install(PROGRAMS $<TARGET_FILE:tapedeck5500> DESTINATION ${arch_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  return()
endif()

# deckctl looks for the module in ../lib beside its own bin/, so lib/ it is.
install(TARGETS tapedeck5500 LIBRARY DESTINATION lib)
foreach(tool deckctl decksim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/tapedeck5500)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# deckctl serve links the HTTP and CSV libraries; the module itself needs only the C++ runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libcpp-httplib0.11, libcsv3")
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
