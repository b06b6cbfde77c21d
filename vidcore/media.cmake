# The file and stream graphs of the playback library over the platform media layer
# (platform/, GStreamer). Included by vidcore/CMakeLists.txt, which links the result into
# vidcore.so.
add_library(vidcore_media STATIC
  ${CMAKE_CURRENT_LIST_DIR}/UGraph.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UMDStreamGraph.cpp
)
set_target_properties(vidcore_media PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(vidcore_media PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vidcore_media PUBLIC mdplatform mdsdk)
