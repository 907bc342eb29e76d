# demo-shaderdb runs the show through the loaded GL driver and lists each shader compile it
# reports (scripts/pi-mesa.sh --run vc4|v3d puts the Pi's own drivers there). It defines
# the draw entry points itself, as demo-bench does, to tag each compile with its draw.
add_executable(demo-shaderdb ${CMAKE_CURRENT_SOURCE_DIR}/pi-gpu/shaderdb.cpp)
target_link_libraries(demo-shaderdb PRIVATE demo_core ${CMAKE_DL_LIBS})
add_dependencies(demo-shaderdb demo_data)
