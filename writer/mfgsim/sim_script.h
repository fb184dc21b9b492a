// sim_script: the stand-in library's reader of the flashing script ucl2.xml,
// a small XML format of the test rig's own (docs/writer.md):
//
//   <script>
//     <list name="eMMC-TQZ-Link-Linux">
//       <phase name="Loader" vendor="0x15A2" product="0x0061">
//         <step>Loading the updater</step>
//       </phase>
//       <phase name="Updater" vendor="0x066F" product="0x37FF">
//         <step file="%firm%\zImage">Writing the kernel to mmcblk%mmc%</step>
//       </phase>
//     </list>
//   </script>
//
// A list holds phases, a phase holds steps (the commands the board runs).
// A step's text is its message; "file" names a file that must exist when the
// step runs. %name% stands for a script variable. Comments, the XML
// declaration and the five predefined entities are understood; nothing else
// of XML is. Plain C++; any thread, one reader at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimStep {
    std::string szText;  // UTF-8
    std::string szFile;  // UTF-8, empty when the step needs no file
};

struct SimPhase {
    std::string szName;
    std::uint32_t dwVendor = 0;
    std::uint32_t dwProduct = 0;
    std::vector<SimStep> steps;
};

struct SimList {
    std::string szName;
    std::vector<SimPhase> phases;
};

struct SimScript {
    std::vector<SimList> lists;
    const SimList* Find(const std::string& name) const;
};

// Reads a script from its text; false with a reason when it is malformed.
bool SimParseScript(const std::string& text, SimScript& out, std::string& error);
