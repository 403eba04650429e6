# The libraries TalkHub is made of and hosts never link (talkwire, harbor). On Linux the
# version script `map` limits what one shows, it carries the project's version and is
# installed as a runtime part only; on Windows it is a DLL of its plain name, which the
# Windows package takes.
function(talkhub_inner_library target map)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
    return()
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${map} VERSION ${PROJECT_VERSION}
                                             SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP COMPONENT library)
endfunction()
