# The Windows build, included by CMakeLists.txt when the toolchain targets Windows
# (cmake/mingw-w64.cmake). scripts/test-windows.sh builds the two libraries it links
# and hands their folders over; it then runs the tests, each under Wine.
#
# acdc.dll is built from the same sources as the Linux module, with platform/win32/
# in place of platform/posix/. It imports only Windows' own DLLs and lua52.dll: the C++
# and thread runtimes, libcrypto and zlib are linked in statically. lacdc.dll and ac.dll hold
# no code: each forwards its opener to acdc.dll, so the three names reach one library
# with one set of counters, caches and locks (copies would each get their own).

set(ACDC_WINDOWS_LUA "" CACHE PATH
  "Windows Lua 5.2 built by scripts/windows-lua.sh: include/, lib/liblua52.dll.a, bin/lua52.dll, bin/lua.exe")
set(ACDC_WINDOWS_OPENSSL "" CACHE PATH
  "Static Windows libcrypto built by scripts/windows-openssl.sh: include/, lib/libcrypto.a")
set(ACDC_WINDOWS_ZLIB "" CACHE PATH
  "Static Windows zlib built by scripts/windows-zlib.sh: include/, lib/libz.a")
foreach(needed ${ACDC_WINDOWS_LUA}/include/lua.h ${ACDC_WINDOWS_LUA}/lib/liblua52.dll.a
               ${ACDC_WINDOWS_LUA}/bin/lua52.dll ${ACDC_WINDOWS_LUA}/bin/lua.exe
               ${ACDC_WINDOWS_OPENSSL}/include/openssl/evp.h ${ACDC_WINDOWS_OPENSSL}/lib/libcrypto.a
               ${ACDC_WINDOWS_ZLIB}/include/zlib.h ${ACDC_WINDOWS_ZLIB}/lib/libz.a)
  if(NOT EXISTS ${needed})
    message(FATAL_ERROR "${needed} is missing: build the Windows side with scripts/test-windows.sh, "
      "which builds Lua, libcrypto and zlib and passes -DACDC_WINDOWS_LUA, -DACDC_WINDOWS_OPENSSL "
      "and -DACDC_WINDOWS_ZLIB")
  endif()
endforeach()

# The module compiles against the headers of the Lua it links. With -static the
# linker would look for a static liblua52.a first, so the import library goes by path.
set(LUA_INCLUDE_DIR ${ACDC_WINDOWS_LUA}/include)
set(LUA_IMPORT_LIBRARY ${ACDC_WINDOWS_LUA}/lib/liblua52.dll.a)

# libcrypto, handed to FindOpenSSL as already found (the toolchain's search roots would
# not look there; LIB_EAY is its MinGW name for the library), so that
# find_package(OpenSSL) anywhere finds this one, with the Windows libraries it needs.
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(OPENSSL_INCLUDE_DIR ${ACDC_WINDOWS_OPENSSL}/include CACHE PATH "" FORCE)
set(LIB_EAY ${ACDC_WINDOWS_OPENSSL}/lib/libcrypto.a CACHE FILEPATH "" FORCE)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

# zlib, static, for rule-set inflation, handed over the same way.
set(ZLIB_INCLUDE_DIR ${ACDC_WINDOWS_ZLIB}/include CACHE PATH "" FORCE)
set(ZLIB_LIBRARY ${ACDC_WINDOWS_ZLIB}/lib/libz.a CACHE FILEPATH "" FORCE)
find_package(ZLIB REQUIRED)

# Every program and the module carry their runtimes: a test exe under Wine and the
# module in the agent need no libstdc++, libgcc or winpthread DLL beside them.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -static")
string(APPEND CMAKE_MODULE_LINKER_FLAGS " -static")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static")
# Test programs added with add_test(COMMAND target) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR sh ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh)

# The portable core with the Windows backend. libcrypto is always linked: objects
# nobody uses are left out of the DLL, so it costs nothing until a source uses it.
file(GLOB ACDC_CORE_SOURCES CONFIGURE_DEPENDS
  event/*.cpp cache/*.cpp compiler/*.cpp platform/*.cpp platform/win32/*.cpp)
add_library(acdc_core STATIC ${ACDC_CORE_SOURCES})
target_include_directories(acdc_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(acdc_core PRIVATE -fno-exceptions)
target_link_libraries(acdc_core PUBLIC OpenSSL::Crypto crypt32 wintrust fltlib)

set(ACDC_LUA_DIR ${CMAKE_BINARY_DIR}/lua)
file(GLOB ACDC_MODULE_SOURCES CONFIGURE_DEPENDS acdc/*.cpp ac/*.cpp ac/ac-Windows/*.cpp)
add_library(acdc_module MODULE ${ACDC_MODULE_SOURCES})
target_compile_definitions(acdc_module PRIVATE LUA_BUILD_AS_DLL)
target_include_directories(acdc_module PRIVATE ${LUA_INCLUDE_DIR})
target_link_libraries(acdc_module PRIVATE acdc_core ZLIB::ZLIB ${LUA_IMPORT_LIBRARY})
set_target_properties(acdc_module PROPERTIES OUTPUT_NAME acdc PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${ACDC_LUA_DIR})

# lacdc.dll and ac.dll: an export table of one forwarded name and nothing else (no
# code, no entry point, no imports). Windows resolves the forward by loading acdc.dll
# by name: the one already loaded, else the one on the DLL search path, which starts
# at the host's own folder.
set(ACDC_FORWARDER_lacdc acdc/lacdc.def)
set(ACDC_FORWARDER_ac ac/ac.def)
foreach(name lacdc ac)
  add_library(${name}_forwarder MODULE ${CMAKE_SOURCE_DIR}/${ACDC_FORWARDER_${name}})
  set_target_properties(${name}_forwarder PROPERTIES OUTPUT_NAME ${name} PREFIX "" LINKER_LANGUAGE C
    LIBRARY_OUTPUT_DIRECTORY ${ACDC_LUA_DIR})
  target_link_options(${name}_forwarder PRIVATE -nostdlib -Wl,--entry=0)
  add_dependencies(${name}_forwarder acdc_module)
endforeach()

# The tests' host sits beside the modules, as the agent's own host does, so the
# forwarders find acdc.dll in the host's folder whichever name is required first.
add_custom_command(TARGET acdc_module POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ACDC_WINDOWS_LUA}/bin/lua.exe ${ACDC_WINDOWS_LUA}/bin/lua52.dll
    ${ACDC_LUA_DIR})

if(ACDC_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/wine)
endif()
