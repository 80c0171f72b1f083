# The protections a Debian package carries, for the project's own programs and
# library (qelt_hardening, linked through qelt_warnings), whatever builds them:
# a preset, cpack, cmake --install, or a plain -DCMAKE_BUILD_TYPE=Release.
#  - every build: a stack protector for functions with arrays or addresses of
#    locals, stack clash probes (not on Windows, which probes itself),
#    control-flow protection, where the compiler offers each; full RELRO with
#    immediate binding (ELF), ASLR with high-entropy addresses and DEP
#    (Windows); programs are PIE;
#  - optimised builds without sanitizers: fortified libc calls. Fortification
#    needs the optimiser's object sizes (it warns at -O0), and the sanitizers
#    must see the plain calls to check them. A _FORTIFY_SOURCE that the
#    compiler or the flags already set (a distribution's default, a packager's
#    CPPFLAGS) is theirs to choose and left alone.
# qelt_strip_comment_on_install() drops .comment from stripped installs.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)

add_library(qelt_hardening INTERFACE)

if(NOT MSVC)
  check_pie_supported(LANGUAGES CXX)

  # Windows probes every large stack frame itself (___chkstk_ms); GCC's own
  # probes there break its unwind tables (an internal compiler error in MinGW's
  # GCC 12).
  set(qelt_compile_hardening -fstack-protector-strong)
  if(NOT WIN32)
    list(APPEND qelt_compile_hardening -fstack-clash-protection)
  endif()
  list(APPEND qelt_compile_hardening -fcf-protection)
  foreach(flag ${qelt_compile_hardening})
    string(MAKE_C_IDENTIFIER "QELT_HAS${flag}" var)
    check_cxx_compiler_flag(${flag} ${var})
    if(${var})
      target_compile_options(qelt_hardening INTERFACE ${flag})
    endif()
  endforeach()
  if(MINGW AND QELT_HAS_fstack_protector_strong)
    # Windows has no libc of its own to hold the protector's runtime: GCC
    # links libssp (which also holds the fortified calls) only when the flag
    # is on the link line too.
    target_link_options(qelt_hardening INTERFACE -fstack-protector-strong)
  endif()

  set(qelt_fortify_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_RELEASE} "
    "${CMAKE_CXX_FLAGS_RELWITHDEBINFO} ${CMAKE_CXX_FLAGS_MINSIZEREL}")
  set(CMAKE_REQUIRED_FLAGS -O2)
  check_cxx_source_compiles("#ifndef _FORTIFY_SOURCE
#error not fortified
#endif
int main() { return 0; }" QELT_COMPILER_FORTIFIES)
  unset(CMAKE_REQUIRED_FLAGS)
  if(QELT_SANITIZE OR QELT_FUZZ)
    if(QELT_COMPILER_FORTIFIES)
      target_compile_options(qelt_hardening INTERFACE -U_FORTIFY_SOURCE)
    endif()
  elseif(NOT QELT_COMPILER_FORTIFIES AND NOT qelt_fortify_flags MATCHES "_FORTIFY_SOURCE")
    target_compile_definitions(qelt_hardening INTERFACE
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()

  if(WIN32)
    set(qelt_link_hardening "LINKER:--dynamicbase,--high-entropy-va,--nxcompat")
  elseif(NOT APPLE)
    set(qelt_link_hardening "LINKER:-z,relro,-z,now")
  endif()
  if(DEFINED qelt_link_hardening)
    check_linker_flag(CXX "${qelt_link_hardening}" QELT_HAS_LINK_HARDENING)
    if(QELT_HAS_LINK_HARDENING)
      target_link_options(qelt_hardening INTERFACE "${qelt_link_hardening}")
    endif()
  endif()
endif()

# CPACK_STRIP_FILES and cmake --install --strip strip symbols but keep the
# compilers' .comment notes, which a package has no use for. FILES are paths
# under the install prefix (generator expressions allowed); each is an ELF file
# that an install rule before this one put there.
function(qelt_strip_comment_on_install)
  if(NOT CMAKE_OBJCOPY)
    return()
  endif()
  set(code "if(CMAKE_INSTALL_DO_STRIP)\n")
  foreach(file ${ARGN})
    if(NOT IS_ABSOLUTE "${file}")
      set(file "\${CMAKE_INSTALL_PREFIX}/${file}")
    endif()
    string(APPEND code "  qelt_remove_comment(\"\$ENV{DESTDIR}${file}\")\n")
  endforeach()
  install(CODE "function(qelt_remove_comment file)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${file}\"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"objcopy could not remove .comment from \${file}\")
  endif()
endfunction()
${code}endif()")
endfunction()
