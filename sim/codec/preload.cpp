// The chip simulator for whole-system runs: a process that loads this
// library (the run command preloads it into a decoder card's host program)
// has the simulated chip behind libcodecctl's driver port from its start,
// with the generator sending the traffic of a running chip (pictures, PCR,
// audio information, video present).
#include "m30sim.h"


namespace {

struct installed_chip {
    m30sim::Chip chip;
    installed_chip()
    {
        m30_driver_set_port(chip.port());
        chip.start_generator({});
    }
    ~installed_chip()
    {
        chip.stop_generator();
        m30_driver_set_port(nullptr);
    }
};

installed_chip g_chip;

} // namespace
