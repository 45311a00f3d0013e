// The manufacturer names, the registry's precedence over them, and the version text.
#include "midi/port_description.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "host/text_encoding.h"
#include "midi/manufacturer_table.h"
#include "platform/sim/sim_control.h"

using namespace melvix;

namespace {

// Every id that WinMM registered, as its published list spells it.
const std::map<std::uint32_t, std::string> kRegistered = {
    {1, "Microsoft Corporation"},
    {2, "Creative Labs, Inc."},
    {3, "Media Vision, Inc."},
    {4, "Fujitsu Corp."},
    {5, "PRAGMATRAX Software"},
    {6, "Cyrix Corporation"},
    {7, "Philips Speech Processing"},
    {8, "NetXL, Inc."},
    {9, "ZyXEL Communications, Inc."},
    {10, "BeCubed Software Inc."},
    {11, "Aardvark Computer Systems, Inc."},
    {12, "Bin Tec Communications GmbH"},
    {13, "Hewlett-Packard Company"},
    {14, "Aculab plc"},
    {15, "Faith,Inc."},
    {16, "Mitel Corporation"},
    {17, "Quantum3D, Inc."},
    {18, "Siemens-Nixdorf"},
    {19, "E-mu Systems, Inc."},
    {20, "Artisoft, Inc."},
    {21, "Turtle Beach, Inc."},
    {22, "IBM Corporation"},
    {23, "Vocaltec Ltd."},
    {24, "Roland"},
    {25, "DSP Solutions, Inc."},
    {26, "NEC"},
    {27, "ATI Technologies Inc."},
    {28, "Wang Laboratories, Inc."},
    {29, "Tandy Corporation"},
    {30, "Voyetra"},
    {31, "Antex Electronics Corporation"},
    {32, "ICL Personal Systems"},
    {33, "Intel Corporation"},
    {34, "Advanced Gravis"},
    {35, "Video Associates Labs, Inc."},
    {36, "InterActive Inc."},
    {37, "Yamaha Corporation"},
    {38, "Everex Systems, Inc."},
    {39, "Echo Speech Corporation"},
    {40, "Sierra Semiconductor Corp"},
    {41, "Computer Aided Technologies"},
    {42, "APPS Software International"},
    {43, "DSP Group, Inc."},
    {44, "microEngineering Labs"},
    {45, "Computer Friends, Inc."},
    {46, "ESS Technology"},
    {47, "Audio, Inc."},
    {48, "Motorola, Inc."},
    {49, "Canopus, co., Ltd."},
    {50, "Seiko Epson Corporation"},
    {51, "Truevision"},
    {52, "Aztech Labs, Inc."},
    {53, "Videologic"},
    {54, "SCALACS"},
    {55, "Korg Inc."},
    {56, "Audio Processing Technology"},
    {57, "Integrated Circuit Systems, Inc."},
    {58, "Iterated Systems, Inc."},
    {59, "Metheus"},
    {60, "Logitech, Inc."},
    {61, "Winnov, Inc."},
    {62, "NCR Corporation"},
    {63, "EXAN"},
    {64, "AST Research Inc."},
    {65, "Willow Pond Corporation"},
    {66, "Sonic Foundry"},
    {67, "Vitec Multimedia"},
    {68, "MOSCOM Corporation"},
    {69, "Silicon Soft, Inc."},
    {70, "TerraTec Electronic GmbH"},
    {71, "MediaSonic Ltd."},
    {72, "SANYO Electric Co., Ltd."},
    {73, "Supermac"},
    {74, "Audio Processing Technology"},
    {75, "NOGATECH Ltd."},
    {76, "Speech Compression"},
    {77, "Ahead, Inc."},
    {78, "Dolby Laboratories"},
    {79, "OKI"},
    {80, "AuraVision Corporation"},
    {81, "Ing C. Olivetti & C., S.p.A."},
    {82, "I/O Magic Corporation"},
    {83, "Matsushita Electric Industrial Co., Ltd."},
    {84, "Control Resources Limited"},
    {85, "Xebec Multimedia Solutions Limited"},
    {86, "New Media Corporation"},
    {87, "Natural MicroSystems"},
    {88, "Lyrrus Inc."},
    {89, "Compusic"},
    {90, "OPTi Computers Inc."},
    {91, "Adlib Accessories Inc."},
    {92, "Compaq Computer Corp."},
    {93, "Dialogic Corporation"},
    {94, "InSoft, Inc."},
    {95, "M.P. Technologies, Inc."},
    {96, "Weitek"},
    {97, "Lernout & Hauspie"},
    {98, "Quanta Computer Inc."},
    {99, "Apple Computer, Inc."},
    {100, "Digital Equipment Corporation"},
    {101, "Mark of the Unicorn"},
    {102, "Workbit Corporation"},
    {103, "Ositech Communications Inc."},
    {104, "miro Computer Products AG"},
    {105, "Cirrus Logic"},
    {106, "ISOLUTION  B.V."},
    {107, "Horizons Technology, Inc."},
    {108, "Computer Concepts Ltd."},
    {109, "Voice Technologies Group, Inc."},
    {110, "Radius"},
    {111, "Rockwell International"},
    {112, "Co. XYZ for testing"},
    {113, "Opcode Systems"},
    {114, "Voxware Inc."},
    {115, "Northern Telecom Limited"},
    {116, "APICOM"},
    {117, "Grande Software"},
    {118, "ADDX"},
    {119, "Wildcat Canyon Software"},
    {120, "Rhetorex Inc."},
    {121, "Brooktree Corporation"},
    {125, "ENSONIQ Corporation"},
    {126, "FAST Multimedia AG"},
    {127, "NVidia Corporation"},
    {128, "OKSORI Co., Ltd."},
    {129, "DiAcoustics, Inc."},
    {130, "Gulbransen, Inc."},
    {131, "Kay Elemetrics, Inc."},
    {132, "Crystal Semiconductor Corporation"},
    {133, "Splash Studios"},
    {134, "Quarterdeck Corporation"},
    {135, "TDK Corporation"},
    {136, "Digital Audio Labs, Inc."},
    {137, "Seer Systems, Inc."},
    {138, "PictureTel Corporation"},
    {139, "AT&T Microelectronics"},
    {140, "Osprey Technologies, Inc."},
    {141, "Mediatrix Peripherals"},
    {142, "SounDesignS M.C.S. Ltd."},
    {143, "A.L. Digital Ltd."},
    {144, "Spectrum Signal Processing, Inc."},
    {145, "Electronic Courseware Systems, Inc."},
    {146, "AMD"},
    {147, "Core Dynamics"},
    {148, "CANAM Computers"},
    {149, "Softsound, Ltd."},
    {150, "Norris Communications, Inc."},
    {151, "Danka Data Devices"},
    {152, "EuPhonics"},
    {153, "Precept Software, Inc."},
    {154, "Crystal Net Corporation"},
    {155, "Chromatic Research, Inc."},
    {156, "Voice Information Systems, Inc."},
    {157, "Vienna Systems"},
    {158, "Connectix Corporation"},
    {159, "Gadget Labs LLC"},
    {160, "Frontier Design Group LLC"},
    {161, "Viona Development GmbH"},
    {162, "Casio Computer Co., LTD"},
    {163, "Diamond Multimedia"},
    {164, "S3"},
    {165, "D-Vision Systems, Inc."},
    {166, "Netscape Communications"},
    {167, "Soundspace Audio"},
    {168, "VanKoevering Company"},
    {169, "Q-Team"},
    {170, "Zefiro Acoustics"},
    {171, "Studer Professional Audio AG"},
    {172, "Fraunhofer IIS"},
    {173, "Quicknet Technologies"},
    {174, "Alaris, Inc."},
    {175, "SIC Resource Inc."},
    {176, "NeoMagic Corporation"},
    {177, "Merging Technologies S.A."},
    {178, "Xirlink, Inc."},
    {179, "Colorgraph Ltd"},
    {180, "Oak Technology, Inc."},
    {181, "Aureal Semiconductor"},
    {182, "Vivo Software"},
    {183, "Sharp"},
    {184, "Lucent Technologies"},
    {185, "AT&T Labs, Inc."},
    {186, "Sun Communications, Inc."},
    {187, "Sorenson Vision"},
    {188, "InVision Interactive"},
    {189, "Deutsche Telekom Berkom GmbH"},
    {190, "Marian GbR Leipzig"},
    {191, "Digital Processing Systems, Inc."},
    {192, "BCB Holdings Inc."},
    {193, "Motion Pixels"},
    {194, "QDesign Corporation"},
    {195, "Nokia Mobile Phones"},
    {196, "DataFusion Systems"},
    {197, "The Duck Corporation"},
    {198, "Future Technology Resources"},
    {199, "BERCOS GmbH"},
    {200, "OnLive! Technologies, Inc."},
    {201, "Siemens Business Communications Systems"},
    {202, "TeraLogic, Inc."},
    {203, "PhoNet Communications Ltd."},
    {204, "Winbond Electronics Corp"},
    {205, "Virtual Music, Inc."},
    {206, "e-Net, Inc."},
    {207, "Guillemot International"},
    {208, "Emagic Soft- und Hardware GmbH"},
    {209, "MWM Acoustics LLC"},
    {210, "Pacific Research and Engineering Corporation"},
    {211, "Sipro Lab Telecom Inc."},
    {212, "Lynx Studio Technology, Inc."},
    {213, "Spectrum Productions"},
    {214, "Dictaphone Corporation"},
    {215, "QUALCOMM, Inc."},
    {216, "Ring Zero Systems, Inc"},
    {217, "AudioScience Inc."},
    {218, "Pinnacle Systems, Inc."},
    {219, "EES Technik fuer Musik GmbH"},
    {220, "haftmann#software"},
    {221, "Lucid Technology, Symetrix Inc."},
    {222, "Headspace, Inc"},
    {223, "UNISYS CORPORATION"},
    {224, "Luminositi, Inc."},
    {225, "ACTIVE VOICE CORPORATION"},
    {226, "Digital Theater Systems, Inc."},
    {227, "DIGIGRAM"},
    {228, "Softlab-Nsk"},
    {229, "ForteMedia, Inc"},
    {230, "Sonorus, Inc."},
    {231, "Array Microsystems, Inc."},
    {232, "Data Translation, Inc."},
    {233, "I-link Worldwide"},
    {234, "Selsius Systems Inc."},
    {235, "AdMOS Technology, Inc."},
    {236, "Lexicon Inc."},
    {237, "Silicon Graphics Inc."},
    {238, "Interactive Product Inc."},
    {239, "IC Ensemble, Inc."},
    {240, "ViewQuest Technologies Inc."},
    {241, "eTEK Labs Inc."},
    {242, "Consistent Software"},
    {243, "Alesis Studio Electronics"},
    {244, "INTERNET Corporation"},
    {245, "Sony Corporation"},
    {246, "Hyperactive Audio Systems, Inc."},
    {247, "UHER informatic GmbH"},
    {248, "Sydec NV"},
    {249, "Flexion Systems Ltd."},
    {250, "Via Technologies, Inc."},
    {251, "Micronas Semiconductors, Inc."},
    {252, "Analog Devices, Inc."},
    {253, "Hewlett Packard Company"},
    {254, "Matrox"},
    {255, "Quick Audio, GbR"},
    {256, "You/Com Audiocommunicatie BV"},
    {257, "Richmond Sound Design Ltd."},
    {258, "I-O Data Device, Inc."},
    {259, "ICCC A/S"},
    {260, "3COM Corporation"},
    {261, "Malden Electronics Ltd."},
    {262, "3Dfx Interactive, Inc."},
    {263, "Mindmaker, Inc."},
    {264, "Telekol Corp."},
    {265, "ST Microelectronics"},
    {266, "Algo Vision Systems GmbH"},
};

std::string manufacturerOf(std::uint32_t id) { return wideToUtf8(manufacturerName(id)); }

TEST(ManufacturerTable, EverySlotHoldsItsRegisteredName) {
  for (std::uint32_t id = 0; id <= kManufacturerCount + 1; ++id) {
    auto it = kRegistered.find(id);
    std::string expected = it == kRegistered.end() ? "unknown" : it->second;
    EXPECT_EQ(manufacturerOf(id), expected) << "manufacturer id " << id;
  }
  EXPECT_EQ(manufacturerOf(0xFFFF), "unknown");
}

struct DescriptionCase {
  const char* what;
  std::uint32_t mid;
  std::uint32_t version;
  const char16_t* registryName;  // what the registry holds for the port's GUID, or null
  const char* manufacturer;
  const char* versionText;
};

TEST(PortDescription, ManufacturerComesFromRegistryThenTable) {
  const DescriptionCase cases[] = {
      {"table", 1, 0x0501, nullptr, "Microsoft Corporation", "5.1"},
      {"registry before table", 1, 0x0100, u"Friendly Maker", "Friendly Maker", "1.0"},
      {"empty registry value", 24, 0x0A00, u"", "Roland", "10.0"},
      {"id 0", 0, 0, nullptr, "unknown", "0.0"},
      {"unassigned 122", 122, 0x0105, nullptr, "unknown", "1.5"},
      {"unassigned 124", 124, 0xFFFF, nullptr, "unknown", "255.255"},
      {"above the table", 267, 0x10000, nullptr, "unknown", "256.0"},
      {"registry for an unknown id", 267, 0x0100, u"Maker", "Maker", "1.0"},
      {"whole value shifted", 13, 0xFFFFFFFF, nullptr, "Hewlett-Packard Company", "16777215.255"},
  };
  for (const auto& c : cases) {
    auto lookup = [&](const GUID&) { return c.registryName ? WideString(c.registryName) : u""; };
    PortInfo info = describePort(u"Port", c.mid, c.version, GUID{}, lookup);
    EXPECT_EQ(wideToUtf8(info.name), "Port") << c.what;
    EXPECT_EQ(wideToUtf8(info.manufacturer), c.manufacturer) << c.what;
    EXPECT_EQ(wideToUtf8(info.version), c.versionText) << c.what;
  }
}

TEST(PortDescription, ReadsTheRegistryNameForTheManufacturerGuid) {
  sim::reset();
  const GUID guid{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(sim::guidText(guid), u"{12345678-9ABC-DEF0-0102-030405060708}");
  EXPECT_EQ(registryManufacturer(guid), u"");

  auto utf16 = [](const std::u16string& s, std::size_t extraNuls) {
    std::vector<BYTE> data;
    for (char16_t c : s) {
      data.push_back(static_cast<BYTE>(c & 0xFF));
      data.push_back(static_cast<BYTE>(c >> 8));
    }
    data.insert(data.end(), extraNuls * 2, 0);
    return data;
  };
  const std::u16string key = sim::manufacturerKeyPath(guid);
  // Text after the first NUL is not part of the name.
  auto withTail = utf16(u"Keys Inc.", 1);
  auto tail = utf16(u"junk", 0);
  withTail.insert(withTail.end(), tail.begin(), tail.end());
  sim::setRegistryValue(key, u"Name", withTail);
  EXPECT_EQ(registryManufacturer(guid), u"Keys Inc.");

  // A value longer than the 1024-byte buffer cannot be read: the table decides.
  sim::setRegistryValue(key, u"Name", utf16(std::u16string(600, u'x'), 1));
  EXPECT_EQ(registryManufacturer(guid), u"");
  EXPECT_EQ(describePort(u"P", 37, 0x100, guid).manufacturer, u"Yamaha Corporation");

  // Exactly filling the buffer, without a terminating NUL, still reads.
  sim::setRegistryValue(key, u"Name", utf16(std::u16string(512, u'y'), 0));
  EXPECT_EQ(registryManufacturer(guid), std::u16string(512, u'y'));
}

}  // namespace
