#include "app/file_picker.h"

namespace pelvane {

PickerRequest input_picker_request() {
    PickerRequest request;
    request.several_files = true;
    return request;
}

PickerRequest output_picker_request() {
    PickerRequest request;
    request.new_file_allowed = true;
    request.initial_name = ".tif";
    // Whatever row is chosen, the job writes GeoTIFF; the list only helps to
    // browse for existing files.
    request.filters = {
        {"GTiff(*.tif)", {"*.tif"}},
        {"HFA (*.img)", {"*.img"}},
        {"AIG(*.adf)", {"*.adf"}},
        {"BSB(*.cap)", {"*.cap"}},
        {"DOQ1 DOQ1(*.doq)", {"*.doq"}},
        {"DTED(*.dt0,*.dt1)", {"*.dt0", "*.dt1"}},
        {"ECW(*.ecw)", {"*.ecw"}},
        {"Envisat(*.n1)", {"*.n1"}},
        {"FAST(*.fst)", {"*.fst"}},
        {"FITS(*.fits)", {"*.fits"}},
        {"RMS(*.rms)", {"*.rms"}},
        {"Japanese DEM (.mem)", {"*.mem"}},
        {"ALL(*.*)", {"*.*"}},
    };
    return request;
}

}  // namespace pelvane
