#include "control/calculation.hpp"
#include "control/parameter_reader.hpp"
#include "control/parameter_writer.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::unique_ptr<Calculation> defaulted_calculation() {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    return calc;
}

struct ReadResult {
    int code;           // -1 when the reader returned
    std::string output; // console lines before the echo of the parameters
};

// Reads the given file body (between BEGIN and END unless given whole) into the calculation.
ReadResult read_parameters(Calculation& calc, const std::string& text, bool spectrum_flag = false,
                           const std::string& extra = "") {
    ScopedWorkFolder folder;
    std::ofstream("input.dat", std::ios::binary) << text;
    CaptureStdout capture;
    const int code = exit_code_of([&] { read_parameter_file(calc, "input.dat", spectrum_flag, extra); });
    std::string output = capture.text();
    const auto echo = output.find("BEGIN\n");
    if (echo != std::string::npos) output.erase(echo);
    return {code, output};
}

ReadResult read_body(Calculation& calc, const std::string& body) {
    return read_parameters(calc, "BEGIN\n" + body + "END\n");
}

std::string written(const Calculation& calc) {
    std::ostringstream out;
    write_parameter_file(calc, out);
    return out.str();
}

std::string line_of(const std::string& text, const std::string& key) {
    const auto at = text.find(std::string(14, ' ') + key + ' ');
    if (at == std::string::npos) return "";
    return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

TEST(ParameterWriter, DefaultsGiveTheExampleFileByteForByte) {
    const auto calc = defaulted_calculation();
    EXPECT_EQ(written(*calc), file_text(std::string(TALQ_SOURCE_DIR) + "/tests/control/data/example.dat"));
}

TEST(ParameterWriter, RecordKeysCarryOneValuePerRecordInUse) {
    auto calc = defaulted_calculation();
    calc->parameters.ints[IntKey::Number_of_spectra] = 2;
    calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::k_min] = 2.0;
    calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::k_min] = 3.0;
    calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::Spectrum_weight] = 1.0 / 3.0;
    const std::string text = written(*calc);
    EXPECT_EQ(line_of(text, "k_min"), std::string(14, ' ') + "k_min" + std::string(34, ' ') + "2 3");
    EXPECT_EQ(line_of(text, "Spectrum_weight"), std::string(14, ' ') + "Spectrum_weight" + std::string(24, ' ') + "-1 0.333333");
}

TEST(ParameterWriter, LongKeysAreWrittenWithoutPadding) {
    std::ostringstream out;
    write_padded_key(out, std::string(40, 'k'), 37);
    EXPECT_EQ(out.str(), std::string(40, 'k'));
    std::ostringstream fits;
    write_padded_key(fits, "abc", 5);
    EXPECT_EQ(fits.str(), "abc   ");
}

TEST(ParameterWriter, WrittenFileReadsBackToTheSameValues) {
    auto original = defaulted_calculation();
    original->parameters.ints[IntKey::Number_of_structures] = 2;
    original->parameters.strings[StringKey::Move_type] = "move_one";
    original->parameters.ints[IntKey::MT_seed_first + 3] = -17;
    original->parameters.bools[BoolKey::adjust_weights] = true;
    original->structure_parameters[1].strings[StructureStringKey::Supercell] = "3x3x1";
    original->structure_parameters[1].bools[StructureBoolKey::pbc] = false;
    original->spectrum_parameters[0].doubles[SpectrumDoubleKey::R_max] = 1.0 / 7.0;
    const std::string text = written(*original);

    auto copy = defaulted_calculation();
    ASSERT_EQ(read_parameters(*copy, text).code, -1);
    EXPECT_EQ(copy->parameters.ints[IntKey::Number_of_structures], 2);
    EXPECT_EQ(copy->parameters.strings[StringKey::Move_type], "move_one");
    EXPECT_EQ(copy->parameters.ints[IntKey::MT_seed_first + 3], -17);
    EXPECT_TRUE(copy->parameters.bools[BoolKey::adjust_weights]);
    EXPECT_EQ(copy->structure_parameters[1].strings[StructureStringKey::Supercell], "3x3x1");
    EXPECT_FALSE(copy->structure_parameters[1].bools[StructureBoolKey::pbc]);
    EXPECT_TRUE(copy->structure_parameters[0].bools[StructureBoolKey::pbc]);
    EXPECT_DOUBLE_EQ(copy->spectrum_parameters[0].doubles[SpectrumDoubleKey::R_max], 0.142857);
    EXPECT_FALSE(copy->move_all);
}

// Files that continue a run carry the keys the canonical layout leaves out, after its last section.
TEST(ParameterWriter, CompleteFileAddsEveryUnwrittenKeyBeforeEndAndReadsBack) {
    auto original = defaulted_calculation();
    ParameterBlock& p = original->parameters;
    p.strings[StringKey::Norm_type] = "L1";
    for (int slot = 0; slot < BoolKey::count; ++slot) p.bools[slot] = !p.bools[slot];
    p.doubles[DoubleKey::MC_temperature] = 450.0;
    p.ints[IntKey::Actual_geometry_format] = 2;
    p.lj_epsilons = {0.5, 0.25, 0.125, 1, 2, 3};
    p.ints[IntKey::Number_of_structures] = 2;
    original->structure_parameters[1].strings[StructureStringKey::File_with_potential] = "second.dat";
    original->spectrum_parameters[0].strings[SpectrumStringKey::File_with_phase] = "phase.dat";

    std::ostringstream complete;
    write_complete_parameter_file(*original, complete);
    const std::string canonical = written(*original);
    const std::string sections = canonical.substr(0, canonical.size() - 4);  // without "END\n"
    ASSERT_EQ(complete.str().substr(0, sections.size()), sections);
    const std::string added = complete.str().substr(sections.size());
    EXPECT_EQ(added.substr(0, 80), std::string(28, '#') + " ADVANCED_AND_OBSOLETE " + std::string(28, '#') + "\n");
    EXPECT_EQ(line_of(added, "LJ_epsilons"), std::string(14, ' ') + "LJ_epsilons" + std::string(28, ' ') + "0.5 0.25 0.125 1 2 3");
    EXPECT_EQ(added.find("Title"), std::string::npos) << "the title keeps its line after BEGIN";
    EXPECT_EQ(added.substr(added.size() - 84), std::string(79, '#') + "\nEND\n");

    auto copy = defaulted_calculation();
    ASSERT_EQ(read_parameters(*copy, complete.str()).code, -1);
    const ParameterBlock& q = copy->parameters;
    EXPECT_EQ(q.strings[StringKey::Norm_type], "L1");
    for (int slot = 0; slot < BoolKey::count; ++slot) EXPECT_EQ(q.bools[slot], p.bools[slot]) << q.bools.names[slot];
    EXPECT_EQ(q.doubles[DoubleKey::MC_temperature], 450.0);
    EXPECT_EQ(q.ints[IntKey::Actual_geometry_format], 2);
    EXPECT_EQ(q.lj_epsilons, p.lj_epsilons);
    EXPECT_EQ(copy->structure_parameters[1].strings[StructureStringKey::File_with_potential], "second.dat");
    EXPECT_EQ(copy->spectrum_parameters[0].strings[SpectrumStringKey::File_with_phase], "phase.dat");
}

TEST(ParameterReader, KeysMatchWithOneTrailingColonOnEitherSide) {
    EXPECT_TRUE(parameter_keys_match("time1", "time1:"));
    EXPECT_TRUE(parameter_keys_match("time1:", "time1"));
    EXPECT_FALSE(parameter_keys_match("time1::", "time1"));
    EXPECT_FALSE(parameter_keys_match("", ""));
    EXPECT_FALSE(parameter_keys_match("Time1", "time1"));
}

TEST(ParameterReader, LegacyNamesReachTheirCurrentKeys) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc,
                                        "Write_every_... 5\n"
                                        "Save_restart_file_every_... 50\n"
                                        "adjust_T: 0\n"
                                        "Min._k_value_for_EXAFS 2.5\n"
                                        "Max._k_value_for_EXAFS: 12\n"
                                        "dk_value_for_EXAFS: 0.1\n"
                                        "k_power_for_EXAFS: 3\n");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.output.find("WARNING"), std::string::npos);
    EXPECT_EQ(calc->parameters.ints[IntKey::time1], 5);
    EXPECT_EQ(calc->parameters.ints[IntKey::time2], 50);
    EXPECT_FALSE(calc->parameters.bools[BoolKey::adjust_acceptance]);
    const auto& d = calc->spectrum_parameters[0].doubles;
    EXPECT_EQ(d[SpectrumDoubleKey::k_min], 2.5);
    EXPECT_EQ(d[SpectrumDoubleKey::k_max], 12.0);
    EXPECT_EQ(d[SpectrumDoubleKey::dk], 0.1);
    EXPECT_EQ(d[SpectrumDoubleKey::k_power], 3.0);
}

TEST(ParameterReader, SingleValuesWordsCommentsAndUnknownKeys) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc,
                                        "# a comment line\n"
                                        "Number_of_states 16 # the population\n"
                                        "Title My run here\n"
                                        "Froze_in\n"
                                        "  200 Stop_after 7\n"
                                        "MT_seed 1 2\n 3 4\n"
                                        "LJ_epsilons 1 2 3 4 5 6\n"
                                        "File_for_restart saved Number_of_threads 2 # keys follow values\n");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(calc->parameters.strings[StringKey::File_for_restart], "saved");
    // The title names nothing, so a title with a space is read by its first word, but not silently.
    EXPECT_NE(result.output.find("WARNING: VALUE OF PARAMETER Title (My run here) HOLDS A SPACE: ONLY My IS USED!\n"),
              std::string::npos) << result.output;
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_states], 16);
    EXPECT_EQ(calc->parameters.strings[StringKey::Title], "My");
    EXPECT_NE(result.output.find("WARNING - unknown parameter (run)\n"), std::string::npos);
    EXPECT_EQ(result.output.find("(here)"), std::string::npos) << "the rest of an unknown key's line is dropped";
    EXPECT_EQ(calc->parameters.ints[IntKey::Froze_in], 200);
    EXPECT_EQ(calc->parameters.ints[IntKey::Stop_after], 7);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(calc->parameters.ints[IntKey::MT_seed_first + i], i + 1);
    EXPECT_EQ(calc->parameters.lj_epsilons[5], 6.0);
}

TEST(ParameterReader, ValueMissingOnItsLineIsTakenFromTheNextLine) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc, "Title\nSpace w\n");
    EXPECT_EQ(calc->parameters.strings[StringKey::Title], "Space");
    EXPECT_NE(result.output.find("WARNING - unknown parameter (w)\n"), std::string::npos);
}

TEST(ParameterReader, RecordListsRepeatTheirLastValueToTheEnd) {
    auto calc = defaulted_calculation();
    read_body(*calc,
              "Number_of_spectra 3\n"
              "k_min 2.0 3.0\n"
              "Edge Ge Cu # comment\n"
              "N_legs  4 x 6\n"
              "Number_of_structures 2\n"
              "pbc 0 1\n"
              "labels_to_element_name true\n");
    const auto& s = calc->spectrum_parameters;
    EXPECT_EQ(s[0].doubles[SpectrumDoubleKey::k_min], 2.0);
    EXPECT_EQ(s[1].doubles[SpectrumDoubleKey::k_min], 3.0);
    EXPECT_EQ(s[2].doubles[SpectrumDoubleKey::k_min], 3.0);
    EXPECT_EQ(s[1].strings[SpectrumStringKey::Edge], "Cu");
    EXPECT_EQ(s[2].strings[SpectrumStringKey::Edge], "#") << "a list takes the rest of its line, comment included";
    EXPECT_EQ(s[3].strings[SpectrumStringKey::Edge], "Ge") << "records past the used ones end as copies of record 0";
    EXPECT_EQ(s[0].ints[SpectrumIntKey::N_legs], 4);
    EXPECT_EQ(s[1].ints[SpectrumIntKey::N_legs], 6) << "empty pieces and words do not count";
    EXPECT_FALSE(calc->structure_parameters[0].bools[StructureBoolKey::pbc]);
    EXPECT_TRUE(calc->structure_parameters[1].bools[StructureBoolKey::pbc]);
    EXPECT_FALSE(calc->structure_parameters[1].bools[StructureBoolKey::labels_to_element_name]);
}

TEST(ParameterReader, UnusedRecordsBecomeCopiesOfRecordZero) {
    auto calc = defaulted_calculation();
    read_body(*calc, "k_min 2.0 3.0\nSupercell 2 2 2 3x3x1\n");
    for (int i = 1; i < max_spectra; ++i) {
        EXPECT_EQ(calc->spectrum_parameters[i].doubles[SpectrumDoubleKey::k_min], 2.0);
    }
    EXPECT_EQ(calc->structure_parameters[0].strings[StructureStringKey::Supercell], "2x2x2");
    EXPECT_EQ(calc->structure_parameters[5].strings[StructureStringKey::Supercell], "2x2x2");
}

TEST(ParameterReader, TabsDoNotSeparateNumericListValues) {
    auto calc = defaulted_calculation();
    read_body(*calc, "Number_of_spectra 2\nk_min 2.0\t3.0\n");
    EXPECT_EQ(calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::k_min], 2.0);
    EXPECT_EQ(calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::k_min], 2.0);
}

TEST(ParameterReader, ListValuesThatAreNoPlainNumbersAreReadAsBeforeWithAWarning) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc,
                                        "Number_of_spectra 2\nk_max 12,5\nk_min abc 3  2x\nN_legs 4.5\n"
                                        "pbc 1 true\nS02 0.9 \t\n");
    EXPECT_EQ(result.code, -1) << result.output;
    EXPECT_EQ(result.output, "WARNING: parameter k_max: \"12,5\" read as 12\n"
                             "WARNING: parameter k_min: \"abc\" skipped; \"2x\" read as 2\n"
                             "WARNING: parameter N_legs: \"4.5\" read as 4\n"
                             "WARNING: parameter pbc: \"true\" skipped\n"
                             "\n");
    EXPECT_EQ(calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::k_max], 12.0);
    EXPECT_EQ(calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::k_min], 3.0);
    EXPECT_EQ(calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::k_min], 2.0);
    EXPECT_EQ(calc->spectrum_parameters[0].ints[SpectrumIntKey::N_legs], 4);
    EXPECT_EQ(calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::S02], 0.9) << "white space around is no text";
}

TEST(ParameterReader, SupercellWordsJoinInThrees) {
    auto calc = defaulted_calculation();
    read_body(*calc, "Number_of_structures 3\nSupercell 2 2 2 3x3x1 5\n");
    EXPECT_EQ(calc->structure_parameters[0].strings[StructureStringKey::Supercell], "2x2x2");
    EXPECT_EQ(calc->structure_parameters[1].strings[StructureStringKey::Supercell], "3x3x1");
    EXPECT_EQ(calc->structure_parameters[2].strings[StructureStringKey::Supercell], "5x5x5");
}

TEST(ParameterReader, ListKeyAloneOnItsLineGetsNoValues) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc, "Edge\nCu Zn\n");
    EXPECT_EQ(calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge], "Ge");
    EXPECT_NE(result.output.find("WARNING - unknown parameter (Cu)\n"), std::string::npos);
}

TEST(ParameterReader, WindowsLineEndsReadTheSame) {
    auto calc = defaulted_calculation();
    const ReadResult result =
        read_parameters(*calc, "header\r\nBEGIN\r\nTitle run\r\nEdge Cu\r\nN_legs 4\r\nNumber_of_threads 3\r\nEND\r\n");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(calc->parameters.strings[StringKey::Title], "run");
    EXPECT_EQ(calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge], "Cu");
    EXPECT_EQ(calc->spectrum_parameters[0].ints[SpectrumIntKey::N_legs], 4);
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_threads], 3);
}

TEST(ParameterReader, AdjustmentsAfterReadingWarnInOrder) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc,
                                        "Number_of_states 33\n"
                                        "k_min 0.0\nk_max 20\ndk 0\n"
                                        "Number_of_threads 300\n");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.output,
              "WARNING: CHANGING THE VALUE OF PARAMETER: Number_of_states from 33 to 34\n"
              "WARNING: changing kmin  to 0.05\n"
              "WARNING: changing kmax  to 19.95\n"
              "WARNING: changing kstep  to 0.05\n"
              "\n"
              "WARNING: SPECIFIED NUMBER OF THREADS EXCEEDS BUILT-IN LIMIT! 300 asked for, 256 used\n");
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_states], 34);
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_threads], 256);
    EXPECT_EQ(calc->spectrum_parameters[0].thread_count, 256);
    EXPECT_EQ(calc->spectrum_parameters[0].nk, 399);
}

TEST(ParameterReader, CountsBelowOneAreRaisedToOne) {
    auto calc = defaulted_calculation();
    const ReadResult result = read_body(*calc, "Number_of_states 0\nNumber_of_threads -2\n");
    EXPECT_EQ(result.output,
              "WARNING: CHANGING THE VALUE OF PARAMETER: Number_of_states from 0 to 1\n"
              "\n"
              "WARNING: CHANGING THE VALUE OF PARAMETER: Number_of_threads from -2 to 1\n");
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_states], 1);
    EXPECT_EQ(calc->parameters.ints[IntKey::Number_of_threads], 1);
    EXPECT_EQ(calc->spectrum_parameters[0].thread_count, 1);

    auto single = defaulted_calculation();
    EXPECT_EQ(read_body(*single, "Number_of_states 1\n").output, "\n");
}

TEST(ParameterReader, DerivedValuesAfterReading) {
    auto calc = defaulted_calculation();
    read_body(*calc,
              "Number_of_spectra 3\nSpace q\nNorm_type L1\nMove_type one\nAcceptance_rate 0.5\n"
              "Maximal_step_length 0.02\nPolarization 0_0_1 1__0_1\nStructure fcc\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(calc->spectrum_parameters[i].doubles[SpectrumDoubleKey::Spectrum_weight], 1.0 / 3.0);
        EXPECT_EQ(calc->spectrum_parameters[i].space_code, space_q);
        EXPECT_EQ(calc->spectrum_parameters[i].norm_code, norm_L1);
    }
    EXPECT_EQ(calc->axis_label_q, "[Q]");
    EXPECT_EQ(calc->axis_label_w, "W");
    EXPECT_FALSE(calc->move_all);
    EXPECT_DOUBLE_EQ(calc->log_acceptance, std::log(0.5));
    EXPECT_EQ(calc->step_length, 0.02);
    EXPECT_EQ(calc->spectrum_parameters[0].polarization, (std::array<double, 3>{0, 0, 1}));
    EXPECT_TRUE(calc->spectrum_parameters[1].has_polarization);
    EXPECT_EQ(calc->spectrum_parameters[1].polarization, (std::array<double, 3>{1, 0, 1}));
    EXPECT_EQ(calc->structure_parameters[0].type_code, structure_type_fcc);

    for (const char* rate : {"1.0", "0"}) {
        auto other = defaulted_calculation();
        read_body(*other, std::string("Acceptance_rate ") + rate + "\n");
        EXPECT_EQ(other->log_acceptance, -1e100) << rate;
    }
}

TEST(ParameterReader, SpectrumSwitchRenamesEveryUsedSpectrum) {
    auto calc = defaulted_calculation();
    read_parameters(*calc, "BEGIN\nNumber_of_spectra 2\nEND\n", true, "mine.dat");
    EXPECT_EQ(calc->spectrum_parameters[0].strings[SpectrumStringKey::File_with_experimental_EXAFS_signal], "mine.dat");
    EXPECT_EQ(calc->spectrum_parameters[1].strings[SpectrumStringKey::File_with_experimental_EXAFS_signal], "mine.dat");
}

TEST(ParameterReader, EchoesTheParametersThroughTheWriter) {
    auto calc = defaulted_calculation();
    ScopedWorkFolder folder;
    std::ofstream("input.dat") << "BEGIN\nTitle echo\nEND\n";
    CaptureStdout capture;
    read_parameter_file(*calc, "input.dat", false, "");
    EXPECT_EQ(capture.text(), "\n" + written(*calc));
}

TEST(ParameterReader, BrokenFilesEndTheRunWithAClearError) {
    struct Case {
        const char* text;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"Title x\nEND\n", 4, "ERROR: NO BEGIN LINE IN PARAMETER FILE input.dat!\n"},
        {"BEGIN\nTitle x\n", 4, "ERROR: NO END OF PARAMETERS (END) IN PARAMETER FILE input.dat!\n"},
        {"BEGIN\nNumber_of_states 2.5\nEND\n", 4, "ERROR: CANNOT READ VALUE OF PARAMETER Number_of_states (2.5)!\n"},
        {"BEGIN\nadjust_step true\nEND\n", 4, "ERROR: CANNOT READ VALUE OF PARAMETER adjust_step (true)!\n"},
        {"BEGIN\nMaximal_step_length nan\nEND\n", 4, "ERROR: CANNOT READ VALUE OF PARAMETER Maximal_step_length (nan)!\n"},
        {"BEGIN\nNumber_of_states 99999999999\nEND\n", 4,
         "ERROR: CANNOT READ VALUE OF PARAMETER Number_of_states (99999999999)!\n"},
        {"BEGIN\nTitle\n", 4, "ERROR: NO VALUE FOR PARAMETER Title BEFORE THE END OF THE PARAMETER FILE!\n"},
        {"BEGIN\nNumber_of_spectra 11\nEND\n", 1, "ERROR: Number_of_spectra must be between 1 and 10!\n"},
        {"BEGIN\nNumber_of_structures 0\nEND\n", 1, "ERROR: Number_of_structures must be between 1 and 10!\n"},
        {"BEGIN\nk_min 5\nk_max 4\nEND\n", 1, "ERROR: kmax < kmin!\n"},
        {"BEGIN\nR_min 5\nR_max 4\nEND\n", 1, "ERROR: Rmax < Rmin!\n"},
        {"BEGIN\nPolarization 1_1\nEND\n", 1, "ERROR: POLARIZATION NOT RECKOGNIZED!\n"},
        {"BEGIN\nPolarization 1_1_1_1\nEND\n", 1, "ERROR: POLARIZATION NOT RECKOGNIZED!\n"},
        {"BEGIN\nPolarization 1e308_1_0\nEND\n", 1, "ERROR: POLARIZATION NOT RECKOGNIZED!\n"},
        // Values that cannot be used are refused when read, not stages later.
        {"BEGIN\nN_legs 9\nEND\n", 1, "ERROR: PARAMETER N_legs = 9 CANNOT BE USED: a path has at most 8 legs!\n"},
        {"BEGIN\nN_legs 1\nEND\n", 1,
         "ERROR: PARAMETER N_legs = 1 CANNOT BE USED: a scattering path has at least 2 legs (out to a scatterer and back)!\n"},
        {"BEGIN\nN_legs -1\nEND\n", 1, "ERROR: PARAMETER N_legs = -1 CANNOT BE USED: a scattering path has at least 2 legs"},
        {"BEGIN\nNumber_of_spectra 2\nN_legs 4 0\nEND\n", 1, "ERROR: PARAMETER N_legs = 0 CANNOT BE USED"},
        {"BEGIN\nR_max_for_FEFF 0\nEND\n", 1,
         "ERROR: PARAMETER R_max_for_FEFF = 0 CANNOT BE USED: a path length limit must be positive!\n"},
        {"BEGIN\nR_max_for_FEFF -1\nEND\n", 1, "ERROR: PARAMETER R_max_for_FEFF = -1 CANNOT BE USED"},
        // Only the first word of a value written with a space would be used: another file, another number.
        {"BEGIN\nFile_for_residuals out put.dat\nEND\n", 4,
         "ERROR: VALUE OF PARAMETER File_for_residuals (out put.dat) HOLDS A SPACE: A VALUE IS ONE WORD!\n"},
        {"BEGIN\nFEFF_path /opt/my feff/feff85L # FEFF\nEND\n", 4,
         "ERROR: VALUE OF PARAMETER FEFF_path (/opt/my feff/feff85L) HOLDS A SPACE: A VALUE IS ONE WORD!\n"},
        {"BEGIN\nStop_after 100 000\nEND\n", 4, "ERROR: VALUE OF PARAMETER Stop_after (100 000) HOLDS A SPACE"},
        {"BEGIN\nNumber_of_states 2147483647\nEND\n", 1,
         "ERROR: PARAMETER Number_of_states = 2.14748e+09 CANNOT BE USED: a population holds at most 1000000 states!\n"},
        {"BEGIN\nk_power_in_IO 1e26\nEND\n", 1,
         "ERROR: PARAMETER k_power_in_IO = 1e+26 CANNOT BE USED: a k weight lies between 0 and 10!\n"},
        {"BEGIN\nNumber_of_spectra 2\nk_power 2 -1\nEND\n", 1,
         "ERROR: PARAMETER k_power = -1 CANNOT BE USED: a k weight lies between 0 and 10!\n"},
        {"BEGIN\nS02 0\nEND\n", 1, "ERROR: PARAMETER S02 = 0 CANNOT BE USED: it must be positive!\n"},
        {"BEGIN\nn_scf 1e20\nEND\n", 1, "ERROR: PARAMETER n_scf = 1e+20 CANNOT BE USED: it is a count of iterations!\n"},
        {"BEGIN\nRDF_bin_width 0\nEND\n", 1, "ERROR: PARAMETER RDF_bin_width = 0 CANNOT BE USED: bins must be at least 1e-05 wide!\n"},
        {"BEGIN\ndk 1e-300\nEND\n", 1,
         "ERROR: PARAMETER dk = 1e-300 CANNOT BE USED: the k grid would hold more than 4000 points!\n"},
        {"BEGIN\ndE0 -1e300\nEND\n", 1, "ERROR: PARAMETER dE0 = -1e+300 CANNOT BE USED: its magnitude exceeds 1e+30!\n"},
        {"BEGIN\nR_min -100\nEND\n", 1,
         "ERROR: PARAMETER R_min = -100 CANNOT BE USED: the middle of the R range, the wavelet centre, is negative!\n"},
        {"BEGIN\nMaximal_step_length 1e31\nEND\n", 1,
         "ERROR: PARAMETER Maximal_step_length = 1e+31 CANNOT BE USED: its magnitude exceeds 1e+30!\n"},
        {"BEGIN\nNumber_of_structures 2\nScale_coordinates_by 1 1e200\nEND\n", 1,
         "ERROR: PARAMETER Scale_coordinates_by = 1e+200 CANNOT BE USED: its magnitude exceeds 1e+30!\n"},
    };
    for (const Case& c : cases) {
        auto calc = defaulted_calculation();
        const ReadResult result = read_parameters(*calc, c.text);
        EXPECT_EQ(result.code, c.code) << c.text;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.text << "\n" << result.output;
    }

    auto calc = defaulted_calculation();
    const ReadResult too_long = read_parameters(*calc, "BEGIN\nTitle " + std::string(5000, 'a') + "\nEND\n");
    EXPECT_EQ(too_long.code, 4);
    EXPECT_EQ(too_long.output, "ERROR: LINE LONGER THAN 255 CHARACTERS IN PARAMETER FILE!\n");
}

TEST(ParameterReader, RangesWithNothingToCompareEndTheRun) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"BEGIN\nk_min 5\nk_max 5\nEND\n", "ERROR: kmax = kmin = 5: the k range has no width!\n"},
        {"BEGIN\nR_min 2\nR_max 2\nEND\n", "ERROR: Rmax = Rmin = 2: the R range has no width!\n"},
        {"BEGIN\nk_min 2\nk_max 12\ndk 100\nEND\n",
         "ERROR: PARAMETER dk = 100 CANNOT BE USED: the k range from k_min 2 to k_max 12 would hold a single point of "
         "the k grid!\n"},
        // 201 k points make an R step of 10/201: the range holds no point of the R grid.
        {"BEGIN\nk_min 2\nk_max 12\nR_min 2.01\nR_max 2.03\nEND\n",
         "ERROR: the R range from R_min 2.01 to R_max 2.03 holds no point of the R grid (step 0.0497512): there is "
         "nothing to compare!\n"},
    };
    for (const Case& c : cases) {
        auto calc = defaulted_calculation();
        const ReadResult result = read_parameters(*calc, c.text);
        EXPECT_EQ(result.code, 1) << c.text;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << c.text << "\n" << result.output;
    }
    // The narrowest ranges that still hold points are kept: two in k, one in R (of step 5).
    auto calc = defaulted_calculation();
    const ReadResult narrow = read_parameters(*calc, "BEGIN\nk_min 2\nk_max 12\ndk 10\nR_min 0\nR_max 5\nEND\n");
    EXPECT_EQ(narrow.code, -1) << narrow.output;
    EXPECT_EQ(calc->spectrum_parameters[0].nk, 2);
}

TEST(ParameterReader, MissingFileEndsWith4) {
    auto calc = defaulted_calculation();
    ScopedWorkFolder folder;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_parameter_file(*calc, "absent.dat", false, ""); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: PARAMETER FILE CANNOT BE OPENED! (absent.dat: No such file or directory)\n");
}
