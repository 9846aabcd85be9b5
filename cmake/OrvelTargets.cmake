# Compile settings shared by every target of this project.
function(orvel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# A shared object exports its public interface and nothing else. Its code is compiled with
# hidden visibility, and every public header (include/OrvelKF, common/include/OrvelCommon,
# platform/include/OrvelPlatform, engines/include/OrvelEngines) puts its declarations, after its
# own #includes, between
#   #pragma GCC visibility push(default)
#   #pragma GCC visibility pop
# so whatever a public header declares is exported, and nothing declared elsewhere is. A
# forward declaration of an internal class in a public header goes before the push. Static
# libraries linked into shared objects use this too.
function(orvel_hidden_symbols target)
  set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# orvel_c_plugin(target [LOCAL entry point...])
# A library loaded by name at run time (an engine, the update client) exports its C entry points
# only. Beyond hidden visibility, the code of static libraries linked in stays local, and a
# version script makes every C++ symbol local: the standard library's templates keep default
# visibility whatever the flags say, and a plugin has no C++ interface. LOCAL leaves entry points
# out as well (broken builds for tests).
function(orvel_c_plugin target)
  cmake_parse_arguments(P "" "" "LOCAL" ${ARGN})
  orvel_hidden_symbols(${target})
  set(local "_Z*")
  foreach(name ${P_LOCAL})
    string(APPEND local "; ${name}")
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
  file(CONFIGURE OUTPUT ${script} CONTENT "{ local: ${local}; };\n")
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL -Wl,--version-script=${script})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()
