// The manufacturer ids registered for the Windows multimedia interface, and their names.
#include "midi/manufacturer_table.h"

#include <array>

namespace melvix {

namespace {

// Slot i - 1 holds id i; ids 122 to 124 were never given out.
const std::array<const char16_t*, kManufacturerCount> kManufacturers = {
    u"Microsoft Corporation",                         // 1
    u"Creative Labs, Inc.",                           // 2
    u"Media Vision, Inc.",                            // 3
    u"Fujitsu Corp.",                                 // 4
    u"PRAGMATRAX Software",                           // 5
    u"Cyrix Corporation",                             // 6
    u"Philips Speech Processing",                     // 7
    u"NetXL, Inc.",                                   // 8
    u"ZyXEL Communications, Inc.",                    // 9
    u"BeCubed Software Inc.",                         // 10
    u"Aardvark Computer Systems, Inc.",               // 11
    u"Bin Tec Communications GmbH",                   // 12
    u"Hewlett-Packard Company",                       // 13
    u"Aculab plc",                                    // 14
    u"Faith,Inc.",                                    // 15
    u"Mitel Corporation",                             // 16
    u"Quantum3D, Inc.",                               // 17
    u"Siemens-Nixdorf",                               // 18
    u"E-mu Systems, Inc.",                            // 19
    u"Artisoft, Inc.",                                // 20
    u"Turtle Beach, Inc.",                            // 21
    u"IBM Corporation",                               // 22
    u"Vocaltec Ltd.",                                 // 23
    u"Roland",                                        // 24
    u"DSP Solutions, Inc.",                           // 25
    u"NEC",                                           // 26
    u"ATI Technologies Inc.",                         // 27
    u"Wang Laboratories, Inc.",                       // 28
    u"Tandy Corporation",                             // 29
    u"Voyetra",                                       // 30
    u"Antex Electronics Corporation",                 // 31
    u"ICL Personal Systems",                          // 32
    u"Intel Corporation",                             // 33
    u"Advanced Gravis",                               // 34
    u"Video Associates Labs, Inc.",                   // 35
    u"InterActive Inc.",                              // 36
    u"Yamaha Corporation",                            // 37
    u"Everex Systems, Inc.",                          // 38
    u"Echo Speech Corporation",                       // 39
    u"Sierra Semiconductor Corp",                     // 40
    u"Computer Aided Technologies",                   // 41
    u"APPS Software International",                   // 42
    u"DSP Group, Inc.",                               // 43
    u"microEngineering Labs",                         // 44
    u"Computer Friends, Inc.",                        // 45
    u"ESS Technology",                                // 46
    u"Audio, Inc.",                                   // 47
    u"Motorola, Inc.",                                // 48
    u"Canopus, co., Ltd.",                            // 49
    u"Seiko Epson Corporation",                       // 50
    u"Truevision",                                    // 51
    u"Aztech Labs, Inc.",                             // 52
    u"Videologic",                                    // 53
    u"SCALACS",                                       // 54
    u"Korg Inc.",                                     // 55
    u"Audio Processing Technology",                   // 56
    u"Integrated Circuit Systems, Inc.",              // 57
    u"Iterated Systems, Inc.",                        // 58
    u"Metheus",                                       // 59
    u"Logitech, Inc.",                                // 60
    u"Winnov, Inc.",                                  // 61
    u"NCR Corporation",                               // 62
    u"EXAN",                                          // 63
    u"AST Research Inc.",                             // 64
    u"Willow Pond Corporation",                       // 65
    u"Sonic Foundry",                                 // 66
    u"Vitec Multimedia",                              // 67
    u"MOSCOM Corporation",                            // 68
    u"Silicon Soft, Inc.",                            // 69
    u"TerraTec Electronic GmbH",                      // 70
    u"MediaSonic Ltd.",                               // 71
    u"SANYO Electric Co., Ltd.",                      // 72
    u"Supermac",                                      // 73
    u"Audio Processing Technology",                   // 74
    u"NOGATECH Ltd.",                                 // 75
    u"Speech Compression",                            // 76
    u"Ahead, Inc.",                                   // 77
    u"Dolby Laboratories",                            // 78
    u"OKI",                                           // 79
    u"AuraVision Corporation",                        // 80
    u"Ing C. Olivetti & C., S.p.A.",                  // 81
    u"I/O Magic Corporation",                         // 82
    u"Matsushita Electric Industrial Co., Ltd.",      // 83
    u"Control Resources Limited",                     // 84
    u"Xebec Multimedia Solutions Limited",            // 85
    u"New Media Corporation",                         // 86
    u"Natural MicroSystems",                          // 87
    u"Lyrrus Inc.",                                   // 88
    u"Compusic",                                      // 89
    u"OPTi Computers Inc.",                           // 90
    u"Adlib Accessories Inc.",                        // 91
    u"Compaq Computer Corp.",                         // 92
    u"Dialogic Corporation",                          // 93
    u"InSoft, Inc.",                                  // 94
    u"M.P. Technologies, Inc.",                       // 95
    u"Weitek",                                        // 96
    u"Lernout & Hauspie",                             // 97
    u"Quanta Computer Inc.",                          // 98
    u"Apple Computer, Inc.",                          // 99
    u"Digital Equipment Corporation",                 // 100
    u"Mark of the Unicorn",                           // 101
    u"Workbit Corporation",                           // 102
    u"Ositech Communications Inc.",                   // 103
    u"miro Computer Products AG",                     // 104
    u"Cirrus Logic",                                  // 105
    u"ISOLUTION  B.V.",                               // 106
    u"Horizons Technology, Inc.",                     // 107
    u"Computer Concepts Ltd.",                        // 108
    u"Voice Technologies Group, Inc.",                // 109
    u"Radius",                                        // 110
    u"Rockwell International",                        // 111
    u"Co. XYZ for testing",                           // 112
    u"Opcode Systems",                                // 113
    u"Voxware Inc.",                                  // 114
    u"Northern Telecom Limited",                      // 115
    u"APICOM",                                        // 116
    u"Grande Software",                               // 117
    u"ADDX",                                          // 118
    u"Wildcat Canyon Software",                       // 119
    u"Rhetorex Inc.",                                 // 120
    u"Brooktree Corporation",                         // 121
    u"",                                              // 122
    u"",                                              // 123
    u"",                                              // 124
    u"ENSONIQ Corporation",                           // 125
    u"FAST Multimedia AG",                            // 126
    u"NVidia Corporation",                            // 127
    u"OKSORI Co., Ltd.",                              // 128
    u"DiAcoustics, Inc.",                             // 129
    u"Gulbransen, Inc.",                              // 130
    u"Kay Elemetrics, Inc.",                          // 131
    u"Crystal Semiconductor Corporation",             // 132
    u"Splash Studios",                                // 133
    u"Quarterdeck Corporation",                       // 134
    u"TDK Corporation",                               // 135
    u"Digital Audio Labs, Inc.",                      // 136
    u"Seer Systems, Inc.",                            // 137
    u"PictureTel Corporation",                        // 138
    u"AT&T Microelectronics",                         // 139
    u"Osprey Technologies, Inc.",                     // 140
    u"Mediatrix Peripherals",                         // 141
    u"SounDesignS M.C.S. Ltd.",                       // 142
    u"A.L. Digital Ltd.",                             // 143
    u"Spectrum Signal Processing, Inc.",              // 144
    u"Electronic Courseware Systems, Inc.",           // 145
    u"AMD",                                           // 146
    u"Core Dynamics",                                 // 147
    u"CANAM Computers",                               // 148
    u"Softsound, Ltd.",                               // 149
    u"Norris Communications, Inc.",                   // 150
    u"Danka Data Devices",                            // 151
    u"EuPhonics",                                     // 152
    u"Precept Software, Inc.",                        // 153
    u"Crystal Net Corporation",                       // 154
    u"Chromatic Research, Inc.",                      // 155
    u"Voice Information Systems, Inc.",               // 156
    u"Vienna Systems",                                // 157
    u"Connectix Corporation",                         // 158
    u"Gadget Labs LLC",                               // 159
    u"Frontier Design Group LLC",                     // 160
    u"Viona Development GmbH",                        // 161
    u"Casio Computer Co., LTD",                       // 162
    u"Diamond Multimedia",                            // 163
    u"S3",                                            // 164
    u"D-Vision Systems, Inc.",                        // 165
    u"Netscape Communications",                       // 166
    u"Soundspace Audio",                              // 167
    u"VanKoevering Company",                          // 168
    u"Q-Team",                                        // 169
    u"Zefiro Acoustics",                              // 170
    u"Studer Professional Audio AG",                  // 171
    u"Fraunhofer IIS",                                // 172
    u"Quicknet Technologies",                         // 173
    u"Alaris, Inc.",                                  // 174
    u"SIC Resource Inc.",                             // 175
    u"NeoMagic Corporation",                          // 176
    u"Merging Technologies S.A.",                     // 177
    u"Xirlink, Inc.",                                 // 178
    u"Colorgraph Ltd",                                // 179
    u"Oak Technology, Inc.",                          // 180
    u"Aureal Semiconductor",                          // 181
    u"Vivo Software",                                 // 182
    u"Sharp",                                         // 183
    u"Lucent Technologies",                           // 184
    u"AT&T Labs, Inc.",                               // 185
    u"Sun Communications, Inc.",                      // 186
    u"Sorenson Vision",                               // 187
    u"InVision Interactive",                          // 188
    u"Deutsche Telekom Berkom GmbH",                  // 189
    u"Marian GbR Leipzig",                            // 190
    u"Digital Processing Systems, Inc.",              // 191
    u"BCB Holdings Inc.",                             // 192
    u"Motion Pixels",                                 // 193
    u"QDesign Corporation",                           // 194
    u"Nokia Mobile Phones",                           // 195
    u"DataFusion Systems",                            // 196
    u"The Duck Corporation",                          // 197
    u"Future Technology Resources",                   // 198
    u"BERCOS GmbH",                                   // 199
    u"OnLive! Technologies, Inc.",                    // 200
    u"Siemens Business Communications Systems",       // 201
    u"TeraLogic, Inc.",                               // 202
    u"PhoNet Communications Ltd.",                    // 203
    u"Winbond Electronics Corp",                      // 204
    u"Virtual Music, Inc.",                           // 205
    u"e-Net, Inc.",                                   // 206
    u"Guillemot International",                       // 207
    u"Emagic Soft- und Hardware GmbH",                // 208
    u"MWM Acoustics LLC",                             // 209
    u"Pacific Research and Engineering Corporation",  // 210
    u"Sipro Lab Telecom Inc.",                        // 211
    u"Lynx Studio Technology, Inc.",                  // 212
    u"Spectrum Productions",                          // 213
    u"Dictaphone Corporation",                        // 214
    u"QUALCOMM, Inc.",                                // 215
    u"Ring Zero Systems, Inc",                        // 216
    u"AudioScience Inc.",                             // 217
    u"Pinnacle Systems, Inc.",                        // 218
    u"EES Technik fuer Musik GmbH",                   // 219
    u"haftmann#software",                             // 220
    u"Lucid Technology, Symetrix Inc.",               // 221
    u"Headspace, Inc",                                // 222
    u"UNISYS CORPORATION",                            // 223
    u"Luminositi, Inc.",                              // 224
    u"ACTIVE VOICE CORPORATION",                      // 225
    u"Digital Theater Systems, Inc.",                 // 226
    u"DIGIGRAM",                                      // 227
    u"Softlab-Nsk",                                   // 228
    u"ForteMedia, Inc",                               // 229
    u"Sonorus, Inc.",                                 // 230
    u"Array Microsystems, Inc.",                      // 231
    u"Data Translation, Inc.",                        // 232
    u"I-link Worldwide",                              // 233
    u"Selsius Systems Inc.",                          // 234
    u"AdMOS Technology, Inc.",                        // 235
    u"Lexicon Inc.",                                  // 236
    u"Silicon Graphics Inc.",                         // 237
    u"Interactive Product Inc.",                      // 238
    u"IC Ensemble, Inc.",                             // 239
    u"ViewQuest Technologies Inc.",                   // 240
    u"eTEK Labs Inc.",                                // 241
    u"Consistent Software",                           // 242
    u"Alesis Studio Electronics",                     // 243
    u"INTERNET Corporation",                          // 244
    u"Sony Corporation",                              // 245
    u"Hyperactive Audio Systems, Inc.",               // 246
    u"UHER informatic GmbH",                          // 247
    u"Sydec NV",                                      // 248
    u"Flexion Systems Ltd.",                          // 249
    u"Via Technologies, Inc.",                        // 250
    u"Micronas Semiconductors, Inc.",                 // 251
    u"Analog Devices, Inc.",                          // 252
    u"Hewlett Packard Company",                       // 253
    u"Matrox",                                        // 254
    u"Quick Audio, GbR",                              // 255
    u"You/Com Audiocommunicatie BV",                  // 256
    u"Richmond Sound Design Ltd.",                    // 257
    u"I-O Data Device, Inc.",                         // 258
    u"ICCC A/S",                                      // 259
    u"3COM Corporation",                              // 260
    u"Malden Electronics Ltd.",                       // 261
    u"3Dfx Interactive, Inc.",                        // 262
    u"Mindmaker, Inc.",                               // 263
    u"Telekol Corp.",                                 // 264
    u"ST Microelectronics",                           // 265
    u"Algo Vision Systems GmbH",                      // 266
};

}  // namespace

WideString manufacturerName(std::uint32_t id) {
  if (id == 0 || id > kManufacturerCount || kManufacturers[id - 1][0] == 0) return u"unknown";
  return kManufacturers[id - 1];
}

}  // namespace melvix
