# vx_sources(VAR DIR [RECURSE]): the C/C++ sources and headers of one folder
# (and its sub-folders with RECURSE). New files are picked up at the next
# build without editing any list.
function(vx_sources var dir)
  set(mode GLOB)
  if(ARGN STREQUAL "RECURSE")
    set(mode GLOB_RECURSE)
  endif()
  file(${mode} found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h ${dir}/*.c)
  set(${var} ${found} PARENT_SCOPE)
endfunction()
