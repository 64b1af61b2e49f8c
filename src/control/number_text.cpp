#include "control/number_text.hpp"

#include "control/process_end.hpp"

#include <iostream>

void refuse_file_value(const std::string& file_name, double value) {
    std::cout << "ERROR: VALUE " << value << " IN FILE " << file_name << " CANNOT BE USED!" << '\n';
    end_process(4);
}
