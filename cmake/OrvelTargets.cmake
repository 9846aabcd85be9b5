# Compile settings shared by every target of this project.
function(orvel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
