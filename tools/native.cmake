# The package's native parts as plain programs and libraries, defined once
# for every CMake project that builds them outside R (tests/cpp, tests/fuzz,
# bench), each including this after setting its own compile and link
# options:
#   vekcodec   the wire codec the client and the server share, with the
#              diagnostics, heap and sockets it stands on, and diag_stdio.cpp,
#              which writes the diagnostics on the standard streams of a
#              plain program (inside R the support layer does)
#   vekclient  the rest of the client library, over vekcodec
#   vekserver  the reference server without its main(), over vekcodec
#   VEKserver  the reference server program
# src/Makevars lists the same codec files (CODEC_OBJ, and diag_stdio.o for
# the server) for the package's own build: a file moved in or out of the
# codec moves in both.
get_filename_component(VEK_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(VEK_CLIENT_DIR "${VEK_ROOT}/src/client")
set(VEK_SERVER_DIR "${VEK_ROOT}/src/server")

set(VEK_CODEC_SRC alloc.cpp codec.cpp codec_bulk.cpp diag.cpp net.cpp diag_stdio.cpp)
list(TRANSFORM VEK_CODEC_SRC PREPEND "${VEK_CLIENT_DIR}/")
add_library(vekcodec STATIC ${VEK_CODEC_SRC})
target_include_directories(vekcodec PUBLIC "${VEK_CLIENT_DIR}")

file(GLOB VEK_CLIENT_SRC CONFIGURE_DEPENDS "${VEK_CLIENT_DIR}/*.cpp")
list(REMOVE_ITEM VEK_CLIENT_SRC ${VEK_CODEC_SRC})
add_library(vekclient STATIC ${VEK_CLIENT_SRC})
target_link_libraries(vekclient PUBLIC vekcodec)

file(GLOB VEK_SERVER_SRC CONFIGURE_DEPENDS "${VEK_SERVER_DIR}/*.cpp")
list(REMOVE_ITEM VEK_SERVER_SRC "${VEK_SERVER_DIR}/main.cpp")
add_library(vekserver STATIC ${VEK_SERVER_SRC})
target_include_directories(vekserver PUBLIC "${VEK_SERVER_DIR}")
target_link_libraries(vekserver PUBLIC vekcodec)
find_package(nlohmann_json QUIET)
if(nlohmann_json_FOUND)
  target_link_libraries(vekserver PUBLIC nlohmann_json::nlohmann_json)
endif()

add_executable(VEKserver "${VEK_SERVER_DIR}/main.cpp")
target_link_libraries(VEKserver PRIVATE vekserver)
