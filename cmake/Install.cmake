# What `cmake --install` puts where. The daemon and the two tools go to the
# binary directory; exchange-sim, a test tool, only with the "development"
# component (cmake --install BUILD --component development).
include(GNUInstallDirs)
install(TARGETS valtd valtconf valtctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS exchange-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT development EXCLUDE_FROM_ALL)

# The unit names the programs by the prefix given at install time, which may
# differ from the one the build was configured with.
install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/valtd.service\"
                   \"${CMAKE_BINARY_DIR}/install/valtd.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/install/valtd.service DESTINATION lib/systemd/system)
install(FILES packaging/valtd.sysusers DESTINATION lib/sysusers.d RENAME valtd.conf)
install(FILES packaging/valtd.tmpfiles DESTINATION lib/tmpfiles.d RENAME valtd.conf)

# Manual pages from the programs' own --help and --version (help2man), when it
# is there and the programs run on this machine.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(_pages)
    foreach(entry "valtd:8:the call-control daemon of the exchange"
                  "valtctl:1:command-line client of the call-control daemon"
                  "valtconf:1:create and edit the exchange's configuration databases")
        string(REPLACE ":" ";" parts "${entry}")
        list(GET parts 0 program)
        list(GET parts 1 section)
        list(GET parts 2 summary)
        set(page ${CMAKE_BINARY_DIR}/man/${program}.${section})
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${HELP2MAN} --no-info --section=${section} --name=${summary}
                    --output=${page} $<TARGET_FILE:${program}>
            DEPENDS ${program}
            COMMENT "Manual page ${program}(${section})"
            VERBATIM)
        list(APPEND _pages ${page})
        install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(man ALL DEPENDS ${_pages})
endif()
