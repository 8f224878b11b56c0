// Placeholder so the library has a source until the job lands.
namespace vl { int app_placeholder = 0; }
