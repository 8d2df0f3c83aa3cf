# The Python extensions: the class module `quillmarsh` and the toolkit's private engine
# `quillmarsh_kit._engine`. Both use the limited API (abi3), export only their init function,
# take their heap from mimalloc and share one small binding library.
find_package(Python 3.8 REQUIRED COMPONENTS Interpreter Development.SABIModule)

if(QUILLMARSH_SANITIZE)
  set(QUILLMARSH_USE_MIMALLOC OFF)  # sanitizers need the system allocator to see every block
else()
  set(QUILLMARSH_USE_MIMALLOC ON)
endif()

if(QUILLMARSH_USE_MIMALLOC)
  # mimalloc comes from the cmeel-mimalloc wheel (a build requirement in pyproject.toml).
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c
      "import importlib.metadata as m; print(m.distribution('cmeel-mimalloc').locate_file('cmeel.prefix'))"
    OUTPUT_VARIABLE mimalloc_prefix OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE mimalloc_rc)
  if(NOT mimalloc_rc EQUAL 0)
    message(FATAL_ERROR "mimalloc not found: pip install cmeel-mimalloc")
  endif()
  file(GLOB mimalloc_archive "${mimalloc_prefix}/lib/mimalloc-*/libmimalloc.a")
  file(GLOB mimalloc_include "${mimalloc_prefix}/include/mimalloc-*")
  if(NOT mimalloc_archive OR NOT mimalloc_include)
    message(FATAL_ERROR "mimalloc archive or headers missing under ${mimalloc_prefix}")
  endif()
endif()

# src/binding: what both modules need: references, the call boundary and PanicException,
# Python errors, scalar and sequence conversions, result lists, object storage and the
# allocation-failure handler.
file(GLOB binding_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/binding/*.cpp)
add_library(qm_binding STATIC ${binding_sources})
target_link_libraries(qm_binding PUBLIC qm_uplift_random_forest Python::SABIModule)
target_include_directories(qm_binding PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(qm_binding PUBLIC Py_LIMITED_API=0x03080000)
quillmarsh_relative_sources(qm_binding)
if(QUILLMARSH_USE_MIMALLOC)
  target_compile_definitions(qm_binding PRIVATE QUILLMARSH_USE_MIMALLOC=1)
  target_include_directories(qm_binding SYSTEM PRIVATE ${mimalloc_include})
endif()

# One extension module: limited API 3.8, only the symbols of `exports` visible, the C++
# runtime linked in, mimalloc for every allocation.
function(quillmarsh_python_module target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;EXPORTS;OUTPUT_DIRECTORY" "SOURCES" ${ARGN})
  Python_add_library(${target} MODULE USE_SABI 3.8 WITH_SOABI ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
    LINK_DEPENDS ${ARG_EXPORTS})
  target_link_libraries(${target} PRIVATE qm_binding qm_model_file)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${ARG_EXPORTS} -Wl,--no-undefined-version -static-libstdc++ -static-libgcc)
  quillmarsh_relative_sources(${target})
  if(QUILLMARSH_USE_MIMALLOC)
    target_compile_definitions(${target} PRIVATE QUILLMARSH_USE_MIMALLOC=1)
    target_include_directories(${target} SYSTEM PRIVATE ${mimalloc_include})
    target_link_libraries(${target} PRIVATE ${mimalloc_archive})
  endif()
endfunction()

# Developers can import both modules straight from the build tree: PYTHONPATH=<build>/python.
file(GLOB lib_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/lib/*.cpp)
quillmarsh_python_module(quillmarsh
  OUTPUT_NAME quillmarsh
  OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python
  EXPORTS ${PROJECT_SOURCE_DIR}/src/lib/exports.map
  SOURCES ${lib_sources})

file(GLOB engine_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/engine/*.cpp)
quillmarsh_python_module(quillmarsh_engine
  OUTPUT_NAME _engine
  OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python/quillmarsh_kit
  EXPORTS ${PROJECT_SOURCE_DIR}/src/engine/exports.map
  SOURCES ${engine_sources})

# The toolkit's Python files beside the built engine, so that the build tree holds the whole
# package; refreshed at every build.
file(GLOB kit_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/quillmarsh_kit/*.py
     ${PROJECT_SOURCE_DIR}/python/quillmarsh_kit/py.typed)
set(kit_copies)
foreach(kit_file IN LISTS kit_files)
  get_filename_component(kit_name ${kit_file} NAME)
  set(kit_copy ${PROJECT_BINARY_DIR}/python/quillmarsh_kit/${kit_name})
  add_custom_command(OUTPUT ${kit_copy}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${kit_file} ${kit_copy}
    DEPENDS ${kit_file} VERBATIM)
  list(APPEND kit_copies ${kit_copy})
endforeach()
add_custom_target(quillmarsh_kit_files ALL DEPENDS ${kit_copies})

install(TARGETS quillmarsh LIBRARY DESTINATION .)
install(TARGETS quillmarsh_engine LIBRARY DESTINATION quillmarsh_kit)

# The pure-Python toolkit and the type stub of the native module ship in the same wheel.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quillmarsh_kit DESTINATION .
        PATTERN "__pycache__" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarsh.pyi DESTINATION .)
# Type checkers look for the stub of a single-module distribution in a -stubs package.
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarsh.pyi DESTINATION quillmarsh-stubs
        RENAME __init__.pyi)
