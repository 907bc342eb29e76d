# The program's modules. They form one library, demo_core, that the demo, the
# tools and the tests link; it is assembled from a few parts so that each part's
# tests build without the rest.
set(S ${CMAKE_SOURCE_DIR}/source)
# dgl_part(NAME FILES f... [DEPS d...]): a static library of the files; a missing one is
# a configure error that names it.
function(dgl_part name)
  cmake_parse_arguments(P "" "" "FILES;DEPS" ${ARGN})
  foreach(f ${P_FILES})
    if(NOT EXISTS ${f})
      message(FATAL_ERROR "dgl_part(${name}): ${f} does not exist")
    endif()
  endforeach()
  add_library(${name} STATIC ${P_FILES})
  target_link_libraries(${name} PUBLIC ${P_DEPS})
endfunction()

add_library(dgl_headers INTERFACE)
target_include_directories(dgl_headers INTERFACE ${S} ${GLM_INCLUDE_DIR})

# The BASS 2.4 stand-in.
dgl_part(bass_standin FILES ${CMAKE_SOURCE_DIR}/platform/bass/bass.cpp
         DEPS PkgConfig::SDL2 PkgConfig::MPG123 PkgConfig::OPENMPT Threads::Threads)
target_include_directories(bass_standin INTERFACE ${CMAKE_SOURCE_DIR}/platform/bass)
target_include_directories(bass_standin PRIVATE ${CMAKE_SOURCE_DIR}/platform/bass)

# The end-to-end tests read the pointer's image and type keys on an X server.
if(DGL_TESTS)
  pkg_check_modules(X11_TESTING REQUIRED IMPORTED_TARGET xfixes xtst)
endif()

# Platform layer: display, poll, clock, files, log.
# present.cpp is linked on the Pi too, where the hardware scales and it stays unused:
# the EGL half drives it for any half that asks.
set(_common ${S}/log.cpp ${S}/file_io.cpp ${S}/util.cpp ${S}/terminal.cpp ${S}/system.cpp ${S}/system.choose.cpp
            ${S}/fit.cpp ${S}/glsl.cpp ${S}/present.cpp)
if(DGL_RPI)
  set(ENV{PKG_CONFIG_PATH} "/opt/vc/lib/pkgconfig:$ENV{PKG_CONFIG_PATH}")
  pkg_check_modules(BCM REQUIRED IMPORTED_TARGET bcm_host brcmegl brcmglesv2)
  dgl_part(dgl_platform FILES ${_common} ${S}/system.rpi.cpp DEPS dgl_headers PkgConfig::BCM)
  target_compile_definitions(dgl_platform PUBLIC DGL_RPI=1)
else()
  set(_kms)
  if(GBM_FOUND AND DRM_FOUND)
    set(_kms PkgConfig::GBM PkgConfig::DRM)
  endif()
  # The x11 backend's monitors (RandR 1.5, Xinerama) and screen saver suspend.
  pkg_check_modules(XRANDR REQUIRED IMPORTED_TARGET xrandr)
  pkg_check_modules(XINERAMA REQUIRED IMPORTED_TARGET xinerama)
  pkg_check_modules(XSS REQUIRED IMPORTED_TARGET xscrnsaver)
  set(_native ${S}/system.headless.cpp ${S}/system.x11.cpp ${S}/display_mode.cpp)
  if(_kms)
    list(APPEND _native ${S}/system.kms.cpp)
  endif()
  dgl_part(dgl_platform FILES ${_common} ${_native}
           DEPS dgl_headers PkgConfig::EGL PkgConfig::GLESV2 PkgConfig::X11
           PkgConfig::XRANDR PkgConfig::XINERAMA PkgConfig::XSS ${_kms})
  if(_kms)
    target_compile_definitions(dgl_platform PRIVATE DGL_HAVE_KMS=1)
  endif()
  # The VideoCore half, built against the recording stand-in so its tests run here.
  dgl_part(dgl_rpi_standin FILES ${S}/system.rpi.cpp ${S}/terminal.cpp ${S}/fit.cpp
           ${CMAKE_SOURCE_DIR}/platform/videocore/bcm_host.cpp DEPS dgl_headers PkgConfig::EGL)
  target_include_directories(dgl_rpi_standin PUBLIC ${CMAKE_SOURCE_DIR}/platform/videocore)
endif()

# Resource loaders, the scenes and the script.
dgl_part(dgl_loaders FILES ${S}/shader.cpp ${S}/texture.cpp ${S}/music.cpp DEPS dgl_platform bass_standin)
dgl_part(dgl_scroller FILES ${S}/font_bitmap.cpp ${S}/scroller.cpp DEPS dgl_loaders)
dgl_part(dgl_coverflow FILES ${S}/coverflow.cpp DEPS dgl_loaders)
dgl_part(dgl_timeline FILES ${S}/timeline.cpp DEPS dgl_coverflow dgl_scroller)

add_library(demo_core INTERFACE)
target_link_libraries(demo_core INTERFACE dgl_timeline dgl_coverflow dgl_scroller dgl_loaders dgl_platform bass_standin)
