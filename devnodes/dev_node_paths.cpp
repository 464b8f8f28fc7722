#include "dev_nodes.h"

namespace {

const char TAVU_CLASS_PREFIX[] = "/class/";
const char TAVU_DEV_PREFIX[] = "/dev/";

// The two tty families get their own names under /dev.
void tavuRenameTty(std::string& name) {
  if (name.compare(0, 6, "ttyKWB") == 0) {
    name.replace(0, 6, "ttsKWB");
  } else if (name.compare(0, 4, "ttyS") == 0) {
    name.replace(0, 4, "tts");
  }
}

// Every "." becomes a directory level; without one, the first digit starts
// the node's own name. The directory is what lies before the last cut.
void tavuSplitNodePath(std::string& path, std::string& directory) {
  std::string::size_type dot = path.find('.');
  if (dot != std::string::npos) {
    while (dot != std::string::npos) {
      directory.assign(path, 0, dot);
      path[dot] = '/';
      dot = path.find('.', dot);
    }
    return;
  }
  const std::string::size_type digit = path.find_first_of("0123456789");
  if (digit != std::string::npos) {
    path.insert(digit, 1, '/');
    directory.assign(path, 0, digit);
  }
}

bool tavuIsDotComponent(const std::string& path, std::string::size_type begin,
                        std::string::size_type end) {
  const std::string::size_type length = end - begin;
  if (length == 1) return path[begin] == '.';
  if (length == 2) return path[begin] == '.' && path[begin + 1] == '.';
  return false;
}

}  // namespace

bool tavuMakeDevNodePath(const std::string& devicePath, std::string& nodePath,
                         std::string& directory) {
  if (devicePath.compare(0, sizeof TAVU_CLASS_PREFIX - 1, TAVU_CLASS_PREFIX) != 0) return false;
  std::string name = devicePath.substr(devicePath.rfind('/') + 1);
  tavuRenameTty(name);
  std::string path = TAVU_DEV_PREFIX + name;
  std::string dir;
  tavuSplitNodePath(path, dir);
  nodePath.swap(path);
  directory.swap(dir);
  return true;
}

bool tavuPathInsideDev(const std::string& path) {
  if (path.compare(0, sizeof TAVU_DEV_PREFIX - 1, TAVU_DEV_PREFIX) != 0) return false;
  std::string::size_type begin = 0;
  while (begin <= path.size()) {
    std::string::size_type end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    if (tavuIsDotComponent(path, begin, end)) return false;
    begin = end + 1;
  }
  return true;
}
