# Memory held by the undo history of a large document (plain main, prints its figures).
add_executable(bench_history ${CMAKE_CURRENT_LIST_DIR}/bench_history.cpp)
target_link_libraries(bench_history PRIVATE mirelo_model)
mirelo_warnings(bench_history)

# The GUI thread's longest stall while large photos open and documents save.
add_executable(bench_stall ${CMAKE_CURRENT_LIST_DIR}/bench_stall.cpp)
target_link_libraries(bench_stall PRIVATE mirelo_model)
mirelo_warnings(bench_stall)
