# Shell tests that hold lumaro-cli to outside tools (djpeg, jpeginfo, jpegtran,
# exiftool): the shared corpus, files generated at test time, and the size
# comparison with jpegtran. Exit code 77 means skipped (no corpus).
if(TARGET lumaro-cli)
  set(_oracle_dir ${CMAKE_CURRENT_LIST_DIR})
  set(_corpus ${LUMARO_SHARED_DIR}/corpus)

  add_test(NAME engine_oracle_corpus
           COMMAND bash ${_oracle_dir}/corpus_test.sh $<TARGET_FILE:lumaro-cli> ${_corpus})
  add_test(NAME engine_oracle_generated
           COMMAND bash ${_oracle_dir}/generated_test.sh $<TARGET_FILE:lumaro-cli>)
  add_test(NAME engine_oracle_vs_jpegtran
           COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/corpus-table.sh --cli $<TARGET_FILE:lumaro-cli> ${_corpus})
  set_tests_properties(engine_oracle_corpus engine_oracle_generated engine_oracle_vs_jpegtran
                       PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1500 LABELS oracle)
  # The three tests work in their own temporary folders and may run side by side.
endif()
