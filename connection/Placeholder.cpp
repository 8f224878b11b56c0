// Placeholder so the library has a source until the settings land.
namespace vl { int connection_placeholder = 0; }
