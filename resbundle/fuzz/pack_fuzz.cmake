# Fuzz targets of the pack core, included from resbundle/KXPack.
set(_fuzz ${CMAKE_CURRENT_LIST_DIR})
foreach(name fuzz_pack_unpack fuzz_pack_restore fuzz_pack_index)
  add_fuzz_target(${name}
    SOURCES ${_fuzz}/${name}.cc
    LIBS kxpack
    CORPUS ${_fuzz}/corpus/${name})
endforeach()
