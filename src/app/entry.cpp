#include "app/entry.hpp"

#include "control/calculation.hpp"
#include "app/command_line.hpp"
#include "control/console_log.hpp"
#include "app/driver.hpp"
#include "control/process_end.hpp"

#include <exception>
#include <iostream>
#include <memory>
#include <new>

namespace {

int unrecognised_keyword() {
    std::cout << "ERROR - keyword is not recognized" << '\n' << "Use ' -help' for more information";
    return 3;
}

int run_program(int argc, char** argv) {
    print_banner();
    if (argc < 2) {
        std::cout << "ERROR - file with parameters should be specified!" << '\n'
                  << "Use ' -help' for more information" << '\n'
                  << "Use ' -example' to create an example of parameter file";
        return 3;
    }
    const std::string first = argv[1];
    if (first == "-help") {
        print_help();
        return 0;
    }

    // The record is large (it will hold whole populations), so it lives on the heap.
    auto calc = std::make_unique<Calculation>();
    calc->parameter_file_name.clear();
    reset_run_counters(*calc);

    if (first == "-example") {
        calc->flags.example = true;
    } else if (first[0] == '-') {
        return unrecognised_keyword();
    }

    log_line("   Calculations started");
    std::string extra_argument;
    calc->flags.has_extra_argument = false;
    if (!apply_further_arguments(calc->flags, extra_argument, argc - 2, argv + 2)) return unrecognised_keyword();

    run_calculation(*calc, first, extra_argument);
    log_line("   Done");
    return 0;
}

}  // namespace

int talq_main(int argc, char** argv) {
    int code = 0;
    try {
        code = run_program(argc, argv);
    } catch (const ProcessEnd& end) {
        code = end.code;
    } catch (const std::bad_alloc&) {
        std::cout << '\n' << "ERROR with (re)allocating memory" << '\n';
        code = 1;
    } catch (const std::exception& error) {
        std::cout << '\n' << "ERROR: " << error.what() << '\n';
        code = 1;
    }
    std::cout.flush();
    return code;
}
