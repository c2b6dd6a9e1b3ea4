# The channel's header blocks are BSON documents (libbson).
target_link_libraries(qbx_channels PUBLIC mongo::bson_shared)
