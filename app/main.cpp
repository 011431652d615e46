// Placeholder entry point; start-up is being built.
int main()
{
    return 1;
}
