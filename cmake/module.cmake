# The Python extension: limited API (abi3), only PyInit_quillmarsh exported, heap from mimalloc.
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

file(GLOB lib_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/lib/*.cpp)
Python_add_library(quillmarsh MODULE USE_SABI 3.8 WITH_SOABI ${lib_sources})
target_link_libraries(quillmarsh PRIVATE qm_model_file)
target_include_directories(quillmarsh PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_options(quillmarsh PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/lib/exports.map
  -Wl,--no-undefined-version -static-libstdc++ -static-libgcc)
set_target_properties(quillmarsh PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/lib/exports.map)
if(QUILLMARSH_USE_MIMALLOC)
  target_compile_definitions(quillmarsh PRIVATE QUILLMARSH_USE_MIMALLOC=1)
  target_include_directories(quillmarsh SYSTEM PRIVATE ${mimalloc_include})
  target_link_libraries(quillmarsh PRIVATE ${mimalloc_archive})
endif()

# Developers can import the module straight from the build tree: PYTHONPATH=<build>/python.
set_target_properties(quillmarsh PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python)
install(TARGETS quillmarsh LIBRARY DESTINATION .)

# The pure-Python toolkit and the type stub of the native module ship in the same wheel.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quillmarsh_kit DESTINATION .
        PATTERN "__pycache__" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarsh.pyi DESTINATION .)
# Type checkers look for the stub of a single-module distribution in a -stubs package.
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarsh.pyi DESTINATION quillmarsh-stubs
        RENAME __init__.pyi)
