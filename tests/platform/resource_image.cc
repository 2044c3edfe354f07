// An image that only carries resources (resource_image.rc); the tests map it as data, never run it.
int main() { return 0; }
