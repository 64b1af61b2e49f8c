#include "control/calculation.hpp"
#include "control/record_parameters.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace {

SpectrumParameters defaulted_spectrum() {
    SpectrumParameters spectrum;
    set_spectrum_parameter_defaults(spectrum);
    return spectrum;
}

}  // namespace

TEST(SpectrumRanges, DefaultGridHas380PointsAndRStepOfTenOver380) {
    SpectrumParameters spectrum = defaulted_spectrum();
    validate_k_and_r_ranges(spectrum);
    EXPECT_EQ(spectrum.nk, 380);
    EXPECT_EQ(spectrum.dR, 10.0 / 380);
    EXPECT_EQ(spectrum.doubles[SpectrumDoubleKey::R0_for_WT], 2.5);
}

TEST(SpectrumRanges, CeilingIsTakenOfTheQuotientAsComputed) {
    SpectrumParameters spectrum = defaulted_spectrum();
    spectrum.doubles[SpectrumDoubleKey::k_min] = 1.0;
    spectrum.doubles[SpectrumDoubleKey::k_max] = 1.1;
    spectrum.doubles[SpectrumDoubleKey::dk] = 0.1;
    validate_k_and_r_ranges(spectrum);
    EXPECT_EQ(spectrum.nk, 3);

    // A grid of one point has nothing to compare: refused, as the residuals would all be 0.
    SpectrumParameters single = defaulted_spectrum();
    single.doubles[SpectrumDoubleKey::k_min] = 4.0;
    single.doubles[SpectrumDoubleKey::k_max] = 4.0;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { validate_k_and_r_ranges(single); }), 1);
}

TEST(RecordCodes, TextsDecodeOnlyOnExactWholeMatches) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    const struct {
        const char* space;
        const char* norm;
        std::int32_t space_code;
        std::int32_t norm_code;
    } cases[] = {{"k", "scalar", space_k, norm_scalar}, {"K", "l1", space_k, norm_squared},
                 {"r", "L1", space_r, norm_L1},         {"w", "L1x", space_w, norm_squared}};
    for (const auto& c : cases) {
        calc->parameters.strings[StringKey::Space] = c.space;
        calc->parameters.strings[StringKey::Norm_type] = c.norm;
        EXPECT_EQ(decode_norm_and_space(*calc), c.norm_code);
        EXPECT_EQ(calc->spectrum_parameters[0].space_code, c.space_code) << c.space;
    }

    StructureParameters structure;
    set_structure_parameter_defaults(structure);
    EXPECT_EQ(structure_type_code(structure), structure_type_p1);
    structure.strings[StructureStringKey::Structure] = "P1";
    EXPECT_EQ(structure_type_code(structure), structure_type_other);
    structure.strings[StructureStringKey::Structure] = "fcc-gulp";
    EXPECT_EQ(structure_type_code(structure), structure_type_fcc_gulp);
}

TEST(RecordCodes, PolarizationNoneMeansTheUnitDiagonal) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->spectrum_parameters[0].has_polarization = true;
    parse_polarization(*calc);
    EXPECT_FALSE(calc->spectrum_parameters[0].has_polarization);
    EXPECT_EQ(calc->spectrum_parameters[0].polarization, (std::array<double, 3>{1.0, 1.0, 1.0}));
}

TEST(RecordCopies, CopiesTakeValuesButKeepNamesAndIndex) {
    SpectrumParameters source = defaulted_spectrum();
    source.doubles[SpectrumDoubleKey::S02] = 0.8;
    source.nk = 77;
    source.index = 3;
    SpectrumParameters destination = defaulted_spectrum();
    destination.index = 5;
    copy_spectrum_parameters(source, destination);
    EXPECT_EQ(destination.doubles[SpectrumDoubleKey::S02], 0.8);
    EXPECT_EQ(destination.nk, 77);
    EXPECT_EQ(destination.index, 5);
    EXPECT_EQ(destination.doubles.names[SpectrumDoubleKey::S02], "S02");

    StructureParameters from;
    set_structure_parameter_defaults(from);
    from.bools[StructureBoolKey::pbc] = false;
    from.type_code = structure_type_fcc;
    StructureParameters to;
    copy_structure_parameters(from, to);
    EXPECT_FALSE(to.bools[StructureBoolKey::pbc]);
    EXPECT_EQ(to.type_code, structure_type_other);
}

TEST(ParameterDefaults, FreshBlockHoldsTheDocumentedDefaults) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    const ParameterBlock& p = calc->parameters;
    EXPECT_EQ(p.ints[IntKey::Number_of_states], 32);
    EXPECT_EQ(p.ints[IntKey::Number_of_threads], 12);
    EXPECT_EQ(p.strings[StringKey::Space], "w");
    EXPECT_EQ(p.strings[StringKey::FEFF_path], "feff85L.exe");
    for (int i = 0; i < MT_seed_length; ++i) {
        EXPECT_TRUE(p.ints.names[IntKey::MT_seed_first + i].empty());
        EXPECT_EQ(p.int_sections[IntKey::MT_seed_first + i], section_never_written);
    }
    EXPECT_EQ(p.ints[IntKey::MT_seed_first + 3], 1110);
    EXPECT_EQ(calc->structure_sections.strings[StructureStringKey::File_with_potential], section_never_written);
    EXPECT_EQ(calc->spectrum_sections.strings[SpectrumStringKey::File_for_EXAFS_history], section_advanced_and_obsolete);
    EXPECT_EQ(calc->spectrum_parameters[9].strings[SpectrumStringKey::Edge], "Ge");
}
