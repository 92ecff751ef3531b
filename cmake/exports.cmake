# Limits an extension module's exported symbols to its PyInit function. --exclude-libs also hides
# what a static C++ runtime brings; linkers without it (zig's) hide that through the version script.
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--exclude-libs,ALL" VELMORA_LINKER_EXCLUDE_LIBS)

function(velmora_export_only target init_symbol version_script)
  if(APPLE)
    target_link_options(${target} PRIVATE LINKER:-exported_symbol,_${init_symbol})
  else()
    target_link_options(${target} PRIVATE LINKER:--version-script=${version_script})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${version_script})
    if(VELMORA_LINKER_EXCLUDE_LIBS)
      target_link_options(${target} PRIVATE LINKER:--exclude-libs,ALL)
    endif()
  endif()
endfunction()
