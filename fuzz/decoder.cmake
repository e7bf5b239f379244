# The virtual decoder node's handling of program-supplied frames: H.264
# parameter-set and slice-header reading for the entropy check, the MJPEG
# rebuild from scan data, and the decoding behind them, driven through the
# library's decoder calls on the linked-in platform. The first input byte
# picks the format.
kep_add_fuzzer(decoder_node_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/decoder_node_fuzz.cpp
  LIBS kep_vc kep_vcam
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/decoder_node)
