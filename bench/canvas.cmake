# Paint passes of the canvas widget during a brush stroke (runs offscreen).
add_executable(bench_canvas ${CMAKE_CURRENT_LIST_DIR}/bench_canvas.cpp
    ${CMAKE_CURRENT_LIST_DIR}/benchimages.cpp)
target_link_libraries(bench_canvas PRIVATE mirelo_canvas benchmark::benchmark)
mirelo_warnings(bench_canvas)
