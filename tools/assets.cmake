# demo-assets: the covers, captions and both pieces of music, written into build/data/
# by the build itself; they are regenerated only when the generator changes.
file(GLOB _asset_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/assets/*.cpp)
add_executable(demo-assets ${_asset_sources})
target_include_directories(demo-assets PRIVATE ${LAME_INCLUDE_DIR})
target_link_libraries(demo-assets PRIVATE dgl_png ${LAME_LIBRARY} Threads::Threads)
# The same bytes on every machine: no fused multiply-adds; optimised even in debug
# builds so that generating stays quick.
target_compile_options(demo-assets PRIVATE -ffp-contract=off -O2)

set(DGL_CONTACT_SHEET ${CMAKE_BINARY_DIR}/contact-sheet.png)
# The icon for the desktop entry, as an icon theme's folders (installed by the package).
set(DGL_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
set(_icons)
foreach(s 48 64 128 256)
  list(APPEND _icons ${DGL_ICON_DIR}/hicolor/${s}x${s}/apps/quorvelt.png)
endforeach()
set(_assets)
foreach(i RANGE 8)
  list(APPEND _assets ${DGL_DATA_DIR}/cover${i}.ktx)
endforeach()
foreach(j RANGE 3)
  list(APPEND _assets ${DGL_DATA_DIR}/title${j}.ktx)
endforeach()
list(APPEND _assets ${DGL_DATA_DIR}/coverflow.mp3 ${DGL_DATA_DIR}/quorvelt.mod)
# A cross build runs the build machine's generator (scripts/cross.sh passes it): the
# target's own libmp3lame rounds differently, and the assets must be the same bytes on
# every architecture. Left empty, the generator built here runs (through the emulator).
set(DGL_ASSET_GENERATOR "" CACHE FILEPATH "demo-assets built for the build machine")
set(_generator demo-assets)
if(DGL_ASSET_GENERATOR)
  set(_generator ${DGL_ASSET_GENERATOR})
endif()
add_custom_command(OUTPUT ${_assets} ${DGL_CONTACT_SHEET} ${_icons}
  COMMAND ${_generator} --out ${DGL_DATA_DIR} --sheet ${DGL_CONTACT_SHEET} --icons ${DGL_ICON_DIR}
  DEPENDS demo-assets ${DGL_ASSET_GENERATOR}
  COMMENT "Generating covers, captions, coverflow.mp3, quorvelt.mod and the icon"
  VERBATIM)
add_custom_target(demo_assets ALL DEPENDS ${_assets} ${DGL_CONTACT_SHEET} ${_icons})
