# The tools' readers of recordings: input files checked for what they are,
# the one SigMF metadata reader of kpxadac-analyze and kpxadac-generate, and
# the SigMF collection of kpxadac-capture.
# Included by each tool that reads them; the library is made once.
if(NOT TARGET kpxadac_tool_files)
  find_package(nlohmann_json 3 REQUIRED)
  set(kpxadac_tool_files_dir ${CMAKE_CURRENT_LIST_DIR})
  if(WIN32)
    set(kpxadac_tool_files_host ${kpxadac_tool_files_dir}/input_file_win32.cpp)
  else()
    set(kpxadac_tool_files_host ${kpxadac_tool_files_dir}/input_file_posix.cpp)
  endif()
  add_library(kpxadac_tool_files STATIC ${kpxadac_tool_files_dir}/input_file.cpp
              ${kpxadac_tool_files_host} ${kpxadac_tool_files_dir}/sigmf_reader.cpp
              ${kpxadac_tool_files_dir}/sigmf_collection.cpp)
  target_include_directories(kpxadac_tool_files PUBLIC ${kpxadac_tool_files_dir})
  target_link_libraries(kpxadac_tool_files PRIVATE nlohmann_json::nlohmann_json)
  if(WIN32)
    target_compile_definitions(kpxadac_tool_files PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
  endif()
  kpxadac_warnings(kpxadac_tool_files)
endif()
