# Builds one MEX module for every host this machine has:
#   <name>.mexa64 against mexhost (always), into ${CMAKE_BINARY_DIR}/mexhost_modules
#   <name>.mex    against Octave's mex.h (when mkoctfile is found), into ${CMAKE_BINARY_DIR}/octave
#   <name>.mexa64 against MATLAB (when FindMatlab finds it), into ${CMAKE_BINARY_DIR}/matlab
# Every flavour exports exactly one symbol, mexFunction, under the version MEX.

set(STOCHL1_VERSION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/mex.version)
set(STOCHL1_MEXHOST_MODULE_DIR ${CMAKE_BINARY_DIR}/mexhost_modules)
set(STOCHL1_OCTAVE_MODULE_DIR ${CMAKE_BINARY_DIR}/octave)

set(STOCHL1_OCTAVE_FOUND OFF)
if(STOCHL1_BUILD_OCTAVE)
  find_program(MKOCTFILE_EXECUTABLE mkoctfile)
  find_program(OCTAVE_CLI_EXECUTABLE octave-cli)
  if(MKOCTFILE_EXECUTABLE AND OCTAVE_CLI_EXECUTABLE)
    execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p INCFLAGS
                    OUTPUT_VARIABLE _oct_incflags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${MKOCTFILE_EXECUTABLE} -p OCTLIBDIR
                    OUTPUT_VARIABLE OCTAVE_LIB_DIR OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    separate_arguments(_oct_incflags UNIX_COMMAND "${_oct_incflags}")
    set(OCTAVE_INCLUDE_DIRS "")
    foreach(_flag IN LISTS _oct_incflags)
      if(_flag MATCHES "^-I(.*)$")
        list(APPEND OCTAVE_INCLUDE_DIRS "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(OCTAVE_INCLUDE_DIRS AND OCTAVE_LIB_DIR)
      set(STOCHL1_OCTAVE_FOUND ON)
      message(STATUS "Octave MEX build: ${MKOCTFILE_EXECUTABLE} (${OCTAVE_LIB_DIR})")
    endif()
  endif()
endif()
if(NOT STOCHL1_OCTAVE_FOUND)
  message(STATUS "Octave MEX build: mkoctfile or octave-cli not found, skipped")
endif()

# MATLAB: optional; set Matlab_ROOT_DIR to pick an installation.
set(STOCHL1_MATLAB_MODULE_DIR ${CMAKE_BINARY_DIR}/matlab)
set(STOCHL1_MATLAB_FOUND OFF)
if(STOCHL1_BUILD_MATLAB)
  find_package(Matlab QUIET COMPONENTS MX_LIBRARY MAT_LIBRARY)
  if(Matlab_FOUND)
    set(STOCHL1_MATLAB_FOUND ON)
    message(STATUS "MATLAB MEX build: ${Matlab_ROOT_DIR}")
  endif()
endif()
if(NOT STOCHL1_MATLAB_FOUND)
  message(STATUS "MATLAB MEX build: MATLAB not found, skipped")
endif()

# add_mex_module(NAME <name> SOURCES <gateway sources...> [LINK <libraries...>] [FRAME] [MAT])
#   SOURCES are compiled once per host (they include mex.h); LINK names host-independent
#   libraries; FRAME adds the solver modules' gateway frame with the host's interrupt query and
#   display (sources.txt, [frame] and [frame <host>]); every module gets [every module];
#   MAT links the MAT-file library where the host has one.
function(add_mex_module)
  cmake_parse_arguments(M "MAT;FRAME" "NAME" "SOURCES;LINK" ${ARGN})
  set(_mexhost_sources)
  set(_octave_sources)
  set(_matlab_sources)
  if(M_FRAME)
    _stochl1_paths(_frame ${STOCHL1_LIST_frame})
    _stochl1_paths(_mexhost_sources ${STOCHL1_LIST_frame_mexhost})
    _stochl1_paths(_octave_sources ${STOCHL1_LIST_frame_octave})
    _stochl1_paths(_matlab_sources ${STOCHL1_LIST_frame_matlab})
    list(APPEND M_SOURCES ${_frame})
  endif()
  set_property(GLOBAL APPEND PROPERTY STOCHL1_MODULES ${M_NAME})

  _stochl1_paths(_every_module ${STOCHL1_LIST_every_module})
  list(APPEND M_SOURCES ${_every_module})
  list(APPEND M_LINK ${CMAKE_DL_LIBS})

  set(_mexhost_target ${M_NAME}_mexhost)
  add_library(${_mexhost_target} MODULE ${M_SOURCES} ${_mexhost_sources})
  target_include_directories(${_mexhost_target} PRIVATE ${PROJECT_SOURCE_DIR}/mexhost/include
                                                         ${PROJECT_SOURCE_DIR})
  target_link_libraries(${_mexhost_target} PRIVATE ${M_LINK} mexhost_mex mexhost_mx OpenMP::OpenMP_CXX)
  if(M_MAT)
    target_link_libraries(${_mexhost_target} PRIVATE mexhost_mat)
  endif()
  # Record every host library as needed, used or not, as a module linked against MATLAB does.
  target_link_options(${_mexhost_target} PRIVATE LINKER:--no-as-needed)
  _stochl1_mex_properties(${_mexhost_target} ${M_NAME} ".mexa64" ${STOCHL1_MEXHOST_MODULE_DIR})

  if(STOCHL1_OCTAVE_FOUND)
    set(_octave_target ${M_NAME}_octave)
    add_library(${_octave_target} MODULE ${M_SOURCES} ${_octave_sources})
    target_include_directories(${_octave_target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(${_octave_target} SYSTEM PRIVATE ${OCTAVE_INCLUDE_DIRS})
    target_link_directories(${_octave_target} PRIVATE ${OCTAVE_LIB_DIR})
    target_link_libraries(${_octave_target} PRIVATE ${M_LINK} octinterp octave OpenMP::OpenMP_CXX)
    target_link_options(${_octave_target} PRIVATE -Wl,-Bsymbolic)
    _stochl1_mex_properties(${_octave_target} ${M_NAME} ".mex" ${STOCHL1_OCTAVE_MODULE_DIR})
  endif()

  if(STOCHL1_MATLAB_FOUND)
    # matlab_add_mex supplies MATLAB's include folders, libraries, suffix and its own export map
    # (mexFunction only). OpenMP here is the compiler's runtime; see build.m for linking MATLAB's.
    set(_matlab_target ${M_NAME}_matlab)
    matlab_add_mex(NAME ${_matlab_target} MODULE SRC ${M_SOURCES} ${_matlab_sources} OUTPUT_NAME ${M_NAME}
                   LINK_TO ${M_LINK} OpenMP::OpenMP_CXX)
    if(_matlab_sources)
      # libut answers utIsInterruptPending (Ctrl-C); it sits beside libmx.
      get_filename_component(_matlab_lib_dir ${Matlab_MX_LIBRARY} DIRECTORY)
      target_link_directories(${_matlab_target} PRIVATE ${_matlab_lib_dir})
      target_link_libraries(${_matlab_target} ut)
    endif()
    target_include_directories(${_matlab_target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${_matlab_target} PRIVATE ${STOCHL1_WARNINGS})
    if(M_MAT)
      target_link_libraries(${_matlab_target} ${Matlab_MAT_LIBRARY})
    endif()
    set_target_properties(${_matlab_target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${STOCHL1_MATLAB_MODULE_DIR})
    configure_file(${PROJECT_SOURCE_DIR}/octave/${M_NAME}.m ${STOCHL1_MATLAB_MODULE_DIR}/${M_NAME}.m COPYONLY)
  endif()
endfunction()

function(_stochl1_mex_properties target name suffix outdir)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ${suffix} OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${outdir}
    LINK_DEPENDS ${STOCHL1_VERSION_SCRIPT})
  target_compile_options(${target} PRIVATE ${STOCHL1_WARNINGS})
  target_link_options(${target} PRIVATE -Wl,--version-script=${STOCHL1_VERSION_SCRIPT})
endfunction()
