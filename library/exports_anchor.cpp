// The shared library's own translation unit: the exports themselves come
// from the core archive, linked whole.  A build needs at least one source.
namespace ov::library {
extern const char module_description[] = "OVDELETE wildcard file deletion";
}
