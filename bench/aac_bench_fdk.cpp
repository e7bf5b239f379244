// The bare fdk-aac loops that aac_bench measures aacpack and aacplay
// against: the same library calls on the same data, minus the tools.
//
//   aac_bench_fdk --encode in.pcm out.aac | --decode in.aac out.pcm

#include <stdio.h>
#include <string.h>

#include <vector>

#include <fdk-aac/aacdecoder_lib.h>
#include <fdk-aac/aacenc_lib.h>

namespace {

const int kRate = 48000;
const int kBitrate = 64000;

int bare_encode(const char *in_path, const char *out_path) {
  FILE *in = fopen(in_path, "rb"), *out = fopen(out_path, "wb");
  HANDLE_AACENCODER enc = nullptr;
  if (!in || !out || aacEncOpen(&enc, 0x13, 1) != AACENC_OK) return 1;
  aacEncoder_SetParam(enc, AACENC_AOT, 2);
  aacEncoder_SetParam(enc, AACENC_SAMPLERATE, kRate);
  aacEncoder_SetParam(enc, AACENC_CHANNELMODE, MODE_1);
  aacEncoder_SetParam(enc, AACENC_CHANNELORDER, 1);
  aacEncoder_SetParam(enc, AACENC_BITRATE, kBitrate);
  aacEncoder_SetParam(enc, AACENC_TRANSMUX, TT_MP4_ADTS);
  aacEncoder_SetParam(enc, AACENC_AFTERBURNER, 1);
  AACENC_InfoStruct info = {};
  if (aacEncEncode(enc, nullptr, nullptr, nullptr, nullptr) != AACENC_OK ||
      aacEncInfo(enc, &info) != AACENC_OK)
    return 1;
  std::vector<INT_PCM> pcm(info.frameLength);
  std::vector<UCHAR> bits(info.maxOutBufBytes);
  for (;;) {
    size_t n = fread(pcm.data(), 2, pcm.size(), in);
    bool flush = n < pcm.size();
    void *in_ptr = pcm.data(), *out_ptr = bits.data();
    INT in_id = IN_AUDIO_DATA, in_size = (INT)(n * 2), in_el = 2;
    INT out_id = OUT_BITSTREAM_DATA, out_size = (INT)bits.size(), out_el = 1;
    AACENC_BufDesc in_desc = {1, &in_ptr, &in_id, &in_size, &in_el};
    AACENC_BufDesc out_desc = {1, &out_ptr, &out_id, &out_size, &out_el};
    AACENC_InArgs in_args = {flush ? -1 : (INT)n, 0};
    AACENC_OutArgs out_args = {};
    AACENC_ERROR err = aacEncEncode(enc, &in_desc, &out_desc, &in_args, &out_args);
    if (err == AACENC_ENCODE_EOF) break;
    if (err != AACENC_OK) return 1;
    fwrite(bits.data(), 1, (size_t)out_args.numOutBytes, out);
  }
  aacEncClose(&enc);
  fclose(in);
  fclose(out);
  return 0;
}

int bare_decode(const char *in_path, const char *out_path) {
  FILE *in = fopen(in_path, "rb"), *out = fopen(out_path, "wb");
  HANDLE_AACDECODER dec = aacDecoder_Open(TT_MP4_ADTS, 1);
  if (!in || !out || !dec) return 1;
  aacDecoder_SetParam(dec, AAC_PCM_MAX_OUTPUT_CHANNELS, 1);
  UCHAR chunk[768];
  std::vector<INT_PCM> pcm(2048 * 8);
  bool ended = false;
  UINT valid = 0, size = 0;
  for (;;) {
    if (valid == 0 && !ended) {
      size = (UINT)fread(chunk, 1, sizeof chunk, in);
      valid = size;
      ended = size < sizeof chunk;
    }
    UCHAR *bufs[1] = {chunk};
    if (valid > 0 && aacDecoder_Fill(dec, bufs, &size, &valid) != AAC_DEC_OK) return 1;
    AAC_DECODER_ERROR err = aacDecoder_DecodeFrame(dec, pcm.data(), (INT)pcm.size(), 0);
    if (err == AAC_DEC_NOT_ENOUGH_BITS) {
      if (valid == 0 && ended) break;
      continue;
    }
    if (err != AAC_DEC_OK) return 1;
    fwrite(pcm.data(), 2, (size_t)aacDecoder_GetStreamInfo(dec)->frameSize, out);
  }
  aacDecoder_Close(dec);
  fclose(in);
  fclose(out);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--encode") == 0) return bare_encode(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "--decode") == 0) return bare_decode(argv[2], argv[3]);
  fprintf(stderr, "usage: %s --encode in.pcm out.aac | --decode in.aac out.pcm\n", argv[0]);
  return 2;
}
