#pragma once

namespace velmora {

// The process entry: one single-instance libadwaita application with a fixed id and a forced dark
// style, whose first activation launches the delegate and whose later activations (a second
// start of the program) show the existing window.
struct VelmoraClassroomMain {
    static constexpr const char* kApplicationId = "com.velmora.Classroom";
    // The name the desktop's media controls show for the player. Latin letters: WebKit hands the
    // name to its web process as ASCII, so "星禾课堂" would reach the desktop as question marks.
    static constexpr const char* kApplicationName = "Velmora Classroom";
    // The name a WebDriver client must ask for as its browserName.
    static constexpr const char* kAutomationBrowserName = "VelmoraClassroom";

    // Runs the application; returns the process's exit status (1 when the web UI is missing).
    static int main(int argc, char** argv);
};

}  // namespace velmora
