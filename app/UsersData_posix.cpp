#include <ostream>

#include "app/UsersData.h"

namespace dralmin {

int RemoveUsersData(std::ostream&, std::ostream& err) {
  // The Debian package leaves the users' folders, as Debian packages do.
  err << "remove-users-data is for Windows\n";
  return 2;
}

}  // namespace dralmin
