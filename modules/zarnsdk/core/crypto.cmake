# The plug-in's support pieces: target zarn_crypto_support (zrc_flex, zrc_ring, pool).
