#include <stdlib.h>

#include "launcher.h"

int launch_main(int argc, char **argv)
{
    // What @version and @list print is all they do: not getting it out
    // (a full disk) is their failure, status 1; a reader that went away
    // is not.
    if (scan_arguments(&argc, argv)) {
        print_version();
        return flush_standard_output() ? STATUS_OUTPUT_LOST : STATUS_DONE;
    }

    const PayloadCache *cache = &payload_cache;
    if (launch_mode == MODE_RUN && cache != NULL) {
        char *program_path = NULL;
        int cached = enter_cache_dir(&program_path);
        if (cached == 0)
            return exec_in_place(program_path, argc, argv);
        if (cached < 0)
            return STATUS_SETUP_FAILED;
    }

    name_work_dir();
    if (launch_mode != MODE_LIST && make_work_dir())
        return STATUS_SETUP_FAILED;
    atexit(remove_extracted_files);

    char *program_path = NULL;
    if (unpack_payload(&program_path))
        return STATUS_SETUP_FAILED;
    if (launch_mode == MODE_LIST)
        return flush_standard_output() ? STATUS_OUTPUT_LOST : STATUS_DONE;
    if (launch_mode != MODE_RUN)
        return STATUS_DONE;

    return launch_program(program_path, argc, argv);
}
