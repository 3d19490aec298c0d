# The scan page's item list over a million rows (bench/gui_list_bench.cpp). Included from
# bench/CMakeLists.txt; needs the desktop app.
if(TARGET halvern_app)
  add_executable(gui_list_bench ${CMAKE_CURRENT_LIST_DIR}/gui_list_bench.cpp)
  target_link_libraries(gui_list_bench PRIVATE halvern_app halvern_warnings)
  target_include_directories(gui_list_bench PRIVATE ${CMAKE_SOURCE_DIR})
endif()
# The desktop program's scan of a backup: time and peak memory (bench/gui_scan_bench.cpp).
if(TARGET halvern_app)
  add_executable(gui_scan_bench ${CMAKE_CURRENT_LIST_DIR}/gui_scan_bench.cpp)
  target_link_libraries(gui_scan_bench PRIVATE halvern_app halvern_warnings)
  target_include_directories(gui_scan_bench PRIVATE ${CMAKE_SOURCE_DIR})
endif()
