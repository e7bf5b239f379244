/* libkep_audio: microphone and speaker volume and mute of the camera.
 *
 * Every function takes the sound card index first (0 is the camera's only
 * card) and returns 0 on success or a negative errno value. Volume steps run
 * from 0 to the number of steps minus 1.
 */
#ifndef KEP_AUDIO_H
#define KEP_AUDIO_H

#ifdef __cplusplus
extern "C" {
#endif

int kep_audio_mic_vol_get_mute(int card, int *mute);
int kep_audio_mic_vol_get_items(int card, int *items);
int kep_audio_mic_vol_get(int card, int *step);
int kep_audio_mic_vol_set_mute(int card, int mute);
int kep_audio_mic_vol_set(int card, int step);

int kep_audio_spk_vol_get_mute(int card, int *mute);
int kep_audio_spk_vol_get_items(int card, int *items);
int kep_audio_spk_vol_get(int card, int *step);
int kep_audio_spk_vol_set_mute(int card, int mute);
int kep_audio_spk_vol_set(int card, int step);

#ifdef __cplusplus
}
#endif

#endif
