#include "app/command_line.hpp"

#include "control/calculation.hpp"

#include <iostream>

#ifndef TALQ_VERSION
#error "TALQ_VERSION comes from the project version of the build"
#endif

namespace {

const char* const version_text = TALQ_VERSION;
const char* const platform_line = "Version for Linux OS (64 bit).";

struct SwitchCode {
    const char* text;
    int code;
};

// "-example" is recognised here too: after the parameter file it counts as a plain word (code 6 is
// handled by the entry point), and only as the first argument does it select the example mode.
const SwitchCode switch_codes[] = {
    {"-restart", 1},    {"-gulp", 2},       {"-md", 2},         {"-skippot", 3},    {"-phantoms", 5},
    {"-example", 6},    {"-reseed", 7},     {"-ftwt", 8},       {"-beststate", 11}, {"-structure", 12},
    {"-skipcheck", 13}, {"-skippaths", 14}, {"-skipwin", 15},   {"-edit", 16},      {"-spectrum", 17},
    {"-rdf", 18},       {"-setcenter", 19}, {"-fit", 20},       {"-atoms", 21},     {"-autoES", 22},
    {"-fitFF", 23},     {"-useFF", 24},     {"-gulpmd", 25},    {"-skipgulp", 26},  {"-guessFF", 27},
    {"-oneD", 28},      {"-oneDrdf", 29},
};

void print_dashes() { std::cout << std::string(79, '-') << '\n'; }

}  // namespace

std::string get_version() { return version_text; }

int parse_command_line_flag(const std::string& argument) {
    if (argument.empty() || argument[0] != '-') return flag_plain_word;
    for (const SwitchCode& entry : switch_codes) {
        if (argument == entry.text) return entry.code;
    }
    if (argument == "-help") print_help();
    return flag_unknown;
}

bool set_run_flag(RunFlags& flags, int code) {
    switch (code) {
        case 1: flags.restart = true; break;
        case 2: flags.md = true; break;
        case 3: flags.skippot = true; break;
        case 5: flags.phantoms = true; break;
        case 7: flags.reseed = true; break;
        case 8: flags.ftwt = true; break;
        case 11: flags.beststate = true; break;
        case 12: flags.structure = true; break;
        case 13: flags.skipcheck = true; break;
        case 14: flags.skippaths = true; break;
        case 15: flags.skipwin = true; break;
        case 16: flags.edit = true; break;
        case 17: flags.spectrum = true; break;
        case 18: flags.rdf = true; break;
        case 19: flags.setcenter = true; break;
        case 20: flags.fit = true; break;
        case 21: flags.atoms = true; break;
        case 22: flags.autoES = true; break;
        case 23: flags.fitFF = true; break;
        case 24: flags.useFF = true; break;
        case 25: flags.gulpmd = true; break;
        case 26: flags.skipgulp = true; break;
        case 27:
            flags.useFF = true;
            flags.guessFF = true;
            break;
        case 28: flags.oneD = true; break;
        case 29: flags.oneDrdf = true; break;
        default: return false;
    }
    return true;
}

bool apply_further_arguments(RunFlags& flags, std::string& extra_argument, int count, char** arguments) {
    constexpr int code_example = 6;
    for (int i = 0; i < count; ++i) {
        const std::string argument = arguments[i];
        const int code = parse_command_line_flag(argument);
        if (code == flag_unknown) return false;
        if (code == flag_plain_word || code == code_example) {
            extra_argument = argument;
            flags.has_extra_argument = true;
        } else {
            set_run_flag(flags, code);
        }
    }
    return true;
}

void print_banner() {
    print_dashes();
    std::cout << " " << '\n';
    std::cout << std::string(34, ' ') << "T a l q " << '\n';
    std::cout << " " << '\n';
    std::cout << std::string(33, ' ') << "version " << version_text << '\n';
    std::cout << '\n';
    std::cout << "   " << platform_line << '\t' << '\n';
    std::cout << " " << '\n';
    std::cout << " " << '\n';
    print_dashes();
    print_dashes();
}

void print_help() {
    print_dashes();
    std::cout << " " << '\n';
    std::cout << std::string(34, ' ') << "T a l q" << '\n';
    std::cout << " " << '\n';
    std::cout << std::string(33, ' ') << "version " << version_text << '\n';
    std::cout << " " << '\n';
    std::cout << "  " << platform_line << '\t' << '\n';
    std::cout << " " << '\n';
    std::cout << " " << '\n';
    print_dashes();
    print_dashes();
    std::cout << "Use 'talq file_name flag' to start calculation" << '\n';
    print_dashes();
    std::cout << "Flags:" << '\n'
              << " -skippot            - start new calculation without FEFF-potential calculation" << '\n'
              << " -skipcheck          - start new calculation without clustering precision control" << '\n'
              << " -skippaths          - start new calculation without paths search" << '\n'
              << " -skipwin            - read spectra windows from file" << '\n'
              << " -restart            - restart calculation" << '\n'
              << " -md file_name.xyz   - calculate EXAFS for atomic configurations in file" << '\n'
              << " -setcenter         - use cluster's central atom as absorber (with -md)" << '\n'
              << " -example            - generate example input file" << '\n'
              << " -reseed             - generate new input file with different random seed" << '\n'
              << " -edit               - edit input file" << '\n'
              << " -rdf                - generate RDF for final atomic configuration" << '\n'
              << " -spectrum EXAFS.dat - replace the name for file with experimental EXAFS" << '\n'
              << " -fit                - estimate S02 and E0" << '\n'
              << " -autoES             - apply estimated S02 and E0" << '\n'
              << " -fitFF              - optimize LJ-type potential to fit EXAFS [beta]" << '\n'
              << " -useFF              - use force-field model from file to run MC-EXAFS [beta]" << '\n'
              << " -atoms              - create feff.inp file" << '\n'
              << " -beststate          - generate restart file from the best atomic configuration" << '\n'
              << " -ftwt               - calculate FT, BFT, WT transforms of experimental spectra" << '\n'
              << "                     - start new calculation from scratch" << '\n';
    print_dashes();
    print_dashes();
}
