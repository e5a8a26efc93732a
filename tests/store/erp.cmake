# Tests of the ERP inventory bridge (writing records, exporting the article
# list, the demo database). Included from this folder's CMakeLists.txt.
vx_add_test(erp_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ErpWriterTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ErpArticleExportTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ErpTestSupport.h
  LIBS vx_store Qt6::Sql)
target_compile_definitions(erp_tests PRIVATE
  VX_ERP_DEMO_SCRIPT="${PROJECT_SOURCE_DIR}/store/demo-erp/make-demo-erp.sh")
