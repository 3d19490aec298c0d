# Decryption throughput against cp, and the key-derivation cost (bench/decrypt_bench.cpp).
# Included from bench/CMakeLists.txt.
if(TARGET halvern_tool AND TARGET halvern_encrypt_backup)
  add_executable(decrypt_bench ${CMAKE_CURRENT_LIST_DIR}/decrypt_bench.cpp)
  target_link_libraries(decrypt_bench PRIVATE halvern_tool halvern_encrypt_backup
    halvern_backup_builder halvern_platform halvern_warnings)
  add_dependencies(decrypt_bench tool)
endif()
