// Placeholder so the library has a source until the component lands.
namespace vl { int archive_placeholder = 0; }
