# Warnings for every project target. CI turns them into errors with
# CALMORA_WARNINGS_AS_ERRORS so a warning never lands unnoticed.
function(calmora_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CALMORA_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
