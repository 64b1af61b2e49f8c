#include "control/calculation.hpp"
#include "structure/rdf_tool.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

class RdfTool : public ::testing::Test {
protected:
    // Runs the tool on "final.xyz" (left absent for an empty snapshot); returns exit code (-1: none) and output.
    static std::pair<int, std::string> run(const std::string& snapshot, const std::string& answers) {
        if (!snapshot.empty()) std::ofstream("final.xyz", std::ios::binary) << snapshot;
        auto calc = std::make_unique<Calculation>();
        calc->structure_parameters[0].strings[StructureStringKey::File_for_final_xyz] = "final.xyz";
        FeedStdin feed(answers);
        CaptureStdout capture;
        const int code = exit_code_of([&] { generate_rdf_interactive(*calc); });
        return {code, capture.text()};
    }
    ScopedWorkFolder folder;
};

std::string snapshot(int total, int real, const std::string& atoms) {
    return std::to_string(total) + "\n#First " + std::to_string(real) + " lines - real atoms, remaining " +
           std::to_string(total - real) + " lines - copies due to PBC.\n" + atoms;
}

const std::string fe_o = "Fe 0 0 0\nO 2.5 0 0\n";

}  // namespace

TEST_F(RdfTool, CountsPairsAboveOneHundredthAndBelowTenIntoTheirBins) {
    const std::string atoms = "Fe 0 0 0\r\nO 2.5 0 0\r\nO 10 0 0\r\nO 0 0.01 0\r\nO 0 0 0.005\r\nO 0 9.99 0\r\n";
    const std::string out = run(snapshot(6, 2, atoms), "Fe\r\nO\r\n0\r\n").second;
    EXPECT_EQ(out.substr(0, 19) + out.substr(19 + 19),  // around the "dd.mm.yyyy hh:mm:ss" stamp
              "----------------------------------------\n\tGENERATE RDF\n\t\tTotal number of atoms:\t6\n"
              "\t\tReal atoms:\t2\n\t\tTypes of atoms:\n\t\t\tFe O \n\t\tSelect central atom (print 'Any' if any)\n"
              "\t\tSelect 2nd atom (print 'Any' if any)\n\t\tTotal number of central atoms:\t1\n"
              "\t\tTotal number of bonds (shorter than 1 nm):\t2\n\t\tRDF saved as:\trdf_Fe-O.dat\n"
              "\t\tRepeat?\n\t\t\t 0: No\n\t\t\t 1: Yes\n");
    const auto lines = lines_of("rdf_Fe-O.dat");
    EXPECT_EQ(lines.size() == 500 ? lines[0] + "|" + lines[125] + "|" + lines[499] : "", "0.01 0|2.51 50|9.99 50");
}

TEST_F(RdfTool, AnyMatchesEveryLabelButLowercaseAnyMatchesNone) {
    // The image O is 3.0 from Fe and 3.905 from the supercell O, and is never a centre itself.
    run(snapshot(3, 2, fe_o + "O 0 3 0\n"), "Any Any 1 any Any 0");
    const auto lines = lines_of("rdf_Any-Any.dat");
    EXPECT_EQ(lines.at(125) + "|" + lines.at(150) + "|" + lines.at(195), "2.51 50|3.01 25|3.91 25");
    EXPECT_FALSE(std::ifstream("rdf_any-Any.dat")) << "no central atom, no file of undefined values";
}

TEST_F(RdfTool, RepeatsOnlyOnOneAndEndsOnUnreadableAnswers) {
    run(snapshot(2, 2, fe_o), "Fe O 1 O Fe 0 Fe Fe 1");
    EXPECT_TRUE(std::ifstream("rdf_O-Fe.dat") && !std::ifstream("rdf_Fe-Fe.dat"));
    // End of input reads both labels as Any; letters at "Repeat?" end the tool like 0.
    for (const std::string answers : {"", "Fe O yes Fe O 1"}) {
        const std::string out = run(snapshot(2, 2, fe_o), answers).second;
        EXPECT_EQ(out.find("GENERATE RDF"), out.rfind("GENERATE RDF")) << answers;
    }
    EXPECT_TRUE(std::ifstream("rdf_Any-Any.dat"));
}

TEST_F(RdfTool, MissingFileEndsWithCode1AndUntrustworthyCountsOrAtomsWithCode4) {
    const auto [missing, message] = run("", "");
    EXPECT_TRUE(missing == 1 && message.ends_with("\nERROR! Specified file with geometry not found!\n"));
    for (const std::string& text : {snapshot(0, 0, ""), snapshot(2, -1, fe_o), snapshot(2, 3, fe_o),
                                    snapshot(3, 2, fe_o), snapshot(2000000000, 2, fe_o), "x" + snapshot(2, 2, fe_o),
                                    snapshot(2, 2, "Fe 0 0 0\nO 2.5 x 0\n")}) {
        const auto [code, out] = run(text, "Any Any 0");
        const std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
        EXPECT_TRUE(code == 4 && last.starts_with("ERROR") && last.ends_with(" final.xyz\n")) << out;
    }
}
