# demo-capture records the show at a fixed step with the offline audio device;
# demo-bench measures what a frame of each sequence costs beside its floors.
set(_cap ${CMAKE_CURRENT_SOURCE_DIR}/capture)

add_executable(demo-capture ${_cap}/capture.cpp ${_cap}/output.cpp)
target_link_libraries(demo-capture PRIVATE demo_core dgl_png PkgConfig::OPENMPT Threads::Threads)
target_include_directories(demo-capture PRIVATE ${_cap})
add_dependencies(demo-capture demo_data)

# The bench defines the GL entry points that the scenes call, so that it can switch
# them to no-ops and time the program's own arithmetic alone (gl_switch.cpp).
add_executable(demo-bench ${_cap}/bench.cpp ${_cap}/boards.cpp ${_cap}/frame_draws.cpp ${_cap}/gl_switch.cpp
               ${_cap}/output.cpp)
target_link_libraries(demo-bench PRIVATE demo_core ${CMAKE_DL_LIBS} Threads::Threads)
target_include_directories(demo-bench PRIVATE ${_cap})
target_compile_definitions(demo-bench PRIVATE DGL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(demo-bench demo_data)

# Compares two pictures pixel by pixel (a drawing change that must keep the picture).
add_executable(demo-picture-diff ${_cap}/picture_diff.cpp)
target_link_libraries(demo-picture-diff PRIVATE dgl_png)
