# velmora_public_headers(TARGET HEADER...)
# A folder's public headers are what other folders may include, under their
# usual names ("datafile/datafile.h"). They are copied into a directory of the
# target's own, which is all the target exports, so a private header beside
# them (the reader's number.h or system.h, say) is out of other targets' reach.
# The target's own sources see their own folder and, through the targets they
# link, the public headers of the folders they use: nothing else of the tree.
function(velmora_public_headers target)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(public ${CMAKE_CURRENT_BINARY_DIR}/public)
  foreach(header IN LISTS ARGN)
    configure_file(${header} ${public}/${folder}/${header} COPYONLY)
  endforeach()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${public}>
                                        PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
