# Every .cpp/.h below a folder belongs to its library, so adding a file needs no edit here.
function(pelwinter_glob_sources out)
    set(result)
    foreach(pattern IN LISTS ARGN)
        file(GLOB found CONFIGURE_DEPENDS ${pattern})
        list(APPEND result ${found})
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()
