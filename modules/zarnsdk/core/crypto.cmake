# The plug-in's support pieces: the request ring and the growable buffer (static, PIC,
# linked into the plug-in) and the header-only resource pool.
add_library(zarn_crypto_pool INTERFACE)
target_link_libraries(zarn_crypto_pool INTERFACE zarn_support Threads::Threads)

add_library(zarn_crypto_support STATIC src/zrc_ring.cpp src/zrc_flex.cpp)
vek_warnings(zarn_crypto_support)
set_target_properties(zarn_crypto_support PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(zarn_crypto_support PUBLIC zarn_support zarn_crypto_pool)
