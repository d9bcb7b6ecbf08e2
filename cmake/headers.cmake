# velmora_public_headers(TARGET HEADER... [OWN_FOLDER_ONLY])
# A folder's public headers are what other folders may include, under their
# usual names ("datafile/datafile.h"). They are copied into a directory of the
# target's own, which is all the target exports, so a private header beside
# them (the reader's number.h or system.h, say) is out of other targets' reach.
# With OWN_FOLDER_ONLY the target's own sources see their own folder and,
# through the targets they link, the public headers of the folders they use;
# without it (folders not yet moved over) they see the whole tree.
function(velmora_public_headers target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "OWN_FOLDER_ONLY" "" "")
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(public ${CMAKE_CURRENT_BINARY_DIR}/public)
  foreach(header IN LISTS arg_UNPARSED_ARGUMENTS)
    configure_file(${header} ${public}/${folder}/${header} COPYONLY)
  endforeach()
  if(arg_OWN_FOLDER_ONLY)
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${public}>
                                          PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${public}>
                                          PRIVATE ${PROJECT_SOURCE_DIR})
  endif()
endfunction()
