# lumo_child_program(<var> <target>) sets <var> to the path by which a test
# starts <target> as a child process: natively the target's own file. In a
# cross build whose tests run through an emulator, it is a generated script
# that starts the target through that same emulator, because the machine need
# not hand foreign executables to the emulator by itself (binfmt_misc).
function(lumo_child_program var target)
    if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR))
        set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
        return()
    endif()
    set(command "")
    foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
        string(APPEND command "'${word}' ")
    endforeach()
    set(launcher "${CMAKE_BINARY_DIR}/emulated/${target}")
    file(GENERATE OUTPUT "${launcher}"
        CONTENT "#!/bin/sh\nexec ${command}'$<TARGET_FILE:${target}>' \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(${var} "${launcher}" PARENT_SCOPE)
endfunction()
